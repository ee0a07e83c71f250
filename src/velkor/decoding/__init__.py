from .maravex import SequenceGenerator

__all__ = ["SequenceGenerator"]
