"""Trainers for the speech and language models."""
