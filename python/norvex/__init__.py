"""norvex: an embedded vector database with compact quantized codes."""

from ._core import Database, NorvaneDB

__all__ = ["Database", "NorvaneDB"]
__version__ = "0.1.0"
