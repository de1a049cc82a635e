"""Business Layer side components."""
