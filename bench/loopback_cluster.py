"""A LocalCluster of two single-threaded worker processes on loopback, for the cluster tests and benchmarks."""

import contextlib


@contextlib.contextmanager
def two_workers(distributed, wait):
    """A client of the cluster, both workers up; every wait on the cluster ends after `wait` s."""
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address="127.0.0.1:0",
        silence_logs=40,
    )
    client = distributed.Client(cluster, timeout=wait)
    try:
        client.wait_for_workers(2, timeout=wait)
        yield client
    finally:
        client.close(timeout=wait)
        cluster.close(timeout=wait)
