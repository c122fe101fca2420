# Index key tests.
