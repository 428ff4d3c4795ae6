"""Hypothesis settings for the whole suite. CI machines are shared and the
sanitizer run is several times slower: a deadline or the too-slow health
check would turn that slowdown into failures that say nothing about tarn."""
import os

from hypothesis import HealthCheck, settings

settings.register_profile("tarn", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("sanitize", parent=settings.get_profile("tarn"), max_examples=25, derandomize=True)
settings.load_profile(os.environ.get("TARN_HYPOTHESIS_PROFILE", "tarn"))


def unexpected_keyword(name, function):
    """The running interpreter's wording for an unknown keyword argument of
    `function` ("f()"): it changed in 3.13."""
    try:
        print(**{name: None})
    except TypeError as exc:
        return str(exc).replace("print()", function)
    raise AssertionError(f"print() accepts {name!r}")
