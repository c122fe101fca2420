# Index file tests.
