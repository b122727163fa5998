"""The package's version: the kit version it wraps (checked against the loaded library)."""

__version__ = "0.1.0"
