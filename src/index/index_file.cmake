# Index files: names, kinds, the header page and the operations tables call.
