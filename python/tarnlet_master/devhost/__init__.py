"""Development host: plays the Business Layer's part for demos, the console and tests."""
