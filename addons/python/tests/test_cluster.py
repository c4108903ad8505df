"""cbmp.convert on a Dask cluster: a local cluster of worker processes on the loopback address,
driven through the executor of a distributed Client, as a real scheduler's would be."""
import os
import pathlib

import pytest

import cbmp
from conftest import BITMAPS
from test_convert import _check_batch, _folder

distributed = pytest.importorskip(
    "distributed",
    reason="Dask's distributed scheduler is not installed (Debian: python3-distributed)")


def test_on_a_dask_cluster_of_worker_processes(tmp_path):
    paths = _folder(tmp_path, 8)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        executor = client.get_executor()
        results = cbmp.convert(paths, executor=executor)
        _check_batch(paths, results)
        # The work ran in the worker processes, not here.
        workers = client.run(os.getpid)
        assert len(workers) == 2 and os.getpid() not in workers.values()
        # A second call runs again, although Dask caches results by their arguments.
        changed = paths[0]
        changed.write_bytes(BITMAPS["rgb24-large.bmp"])
        again = cbmp.convert([changed], executor=executor, overwrite=True)
        assert again[0].ok
        assert pathlib.Path(again[0].output).read_bytes() == cbmp.compress(
            BITMAPS["rgb24-large.bmp"])
