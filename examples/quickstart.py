"""A first look at norvex."""

import norvex

print("norvex", norvex.__version__)
print("Database class:", norvex.Database.__name__)
