__all__ = ["__version__"]

__version__: str
