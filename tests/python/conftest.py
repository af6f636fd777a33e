import os

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves (see optional.py)
    settings = None

if settings is not None:
    # CI machines are small and shared: no per-example deadline, a fixed number of examples.
    settings.register_profile("ci", deadline=None, max_examples=200, suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("dev", deadline=None, max_examples=50)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

# With the sanitizer runtime preloaded, the interpreters that tests start (the command line, the
# examples) skip the leak scan at their exit. What they call leaks in this process too, which is
# scanned; and the scan of a short-lived child now and then fails on its own (the checker's
# tracer crashes while stopping threads), failing a test that found nothing.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    os.environ["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))


def pytest_addoption(parser):
    parser.addoption(
        "--stress-seconds",
        type=float,
        default=3.0,
        help="how long the thread stress test runs (a few seconds by default)",
    )
