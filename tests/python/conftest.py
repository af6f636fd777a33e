import os

from hypothesis import HealthCheck, settings

# CI machines are small and shared: no per-example deadline, a fixed number of examples.
settings.register_profile(
    "ci", deadline=None, max_examples=200, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", deadline=None, max_examples=50)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
