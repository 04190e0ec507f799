__all__: list[str] = []
