"""Safety checks run on the arguments of a model-fitting call."""
