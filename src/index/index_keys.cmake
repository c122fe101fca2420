# Index keys: entries from records and text, and their order.
