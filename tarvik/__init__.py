"""tarvik: statistical modelling (minimal package root for the safety checks)."""
