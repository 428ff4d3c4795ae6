"""pytest plugin for runs under AddressSanitizer: everything runs several
times slower there, so hypothesis gets fewer examples and no deadline (a
deadline would turn the slowdown into failures that say nothing)."""
from hypothesis import settings

settings.register_profile("sanitize", max_examples=25, deadline=None, derandomize=True)
settings.load_profile("sanitize")
