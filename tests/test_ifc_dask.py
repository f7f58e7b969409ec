"""A folder of IFC files compiled on a Dask cluster of worker processes gives the rows of a plain loop."""

import sys

import pytest

from ifc_models import ROOT, skip_under_asan, require_ifcopenshell

require_ifcopenshell()
pytest.importorskip("kovalith.building", reason="the building compiler is not in this build")
distributed = pytest.importorskip("dask.distributed")

pytestmark = skip_under_asan


def test_cluster_rows_equal_the_in_process_rows(tmp_path):
    import cloudpickle

    sys.path.insert(0, str(ROOT / "examples"))
    import portfolio

    # Workers are fresh processes that cannot import the example by name.
    cloudpickle.register_pickle_by_value(portfolio)
    paths = [str(p) for p in portfolio.author_folder(tmp_path, 2)]
    (tmp_path / "broken.ifc").write_text("not IFC\n")
    paths.append(str(tmp_path / "broken.ifc"))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        rows = portfolio.compile_folder(paths, client)
    expected = [portfolio.compile_file(p) for p in paths]
    timing = ("geometry_s", "build_s")
    assert [{k: v for k, v in r.items() if k not in timing} for r in rows] == [
        {k: v for k, v in r.items() if k not in timing} for r in expected]
    assert [r["rooms"] for r in rows[:2]] == [14, 33]
    assert rows[2]["error"].startswith("cannot read") and "broken.ifc" in rows[2]["error"]
    assert "| broken.ifc | error: cannot read" in portfolio.table(rows)
