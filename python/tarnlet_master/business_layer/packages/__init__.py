"""Package-manager support; ``feedscout`` is an extension module installed here."""
