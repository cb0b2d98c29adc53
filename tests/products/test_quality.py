"""The quality report of a pair against the same figures computed here from the files written."""

import json
import warnings

import numpy as np
import pytest
from test_velocity import IMAGE1, IMAGE2, georeferenced_field, write_geotiff

from talmek_track.cli import command as cli
from talmek_track.products.velocity import fill_field

xr = pytest.importorskip("xarray")
pytest.importorskip("rasterio")


@pytest.mark.parametrize("fill", [False, True], ids=["plain", "filled"])
def test_report_matches_an_independent_computation(fill, tmp_path):
    from talmek_track.output.netcdf import write_netcdf

    # Every vector moves by the same (-2, 3) pixels: once the shift measured on the left third of
    # the grid is removed, the truth there is zero, and what is left is error.
    stable = (np.arange(121) % 11) < 4
    field = georeferenced_field(stable=stable, stable_method="mask")
    if fill:
        field = fill_field(field)
    write_netcdf(tmp_path / "vectors.nc", field)
    with xr.open_dataset(tmp_path / "vectors.nc") as ds:
        status = ds["status"].values.ravel()
        vx, vy = ds["vx"].values.ravel().astype(np.float64), ds["vy"].values.ravel().astype(np.float64)
        report = {k: v for k, v in ds.attrs.items() if k.startswith("quality_")}
        filled = int(ds["interp_mask"].values.sum()) if "interp_mask" in ds else 0
    # on the file, filled vectors carry values where their match failed: only the accepted count
    use = stable & (status == 1) & np.isfinite(vx)
    assert report["quality_stable_count"] == use.sum() >= 10
    for name, values in (("vx", vx[use]), ("vy", vy[use])):
        med = np.percentile(values, 50)
        assert report[f"quality_stable_{name}_median"] == pytest.approx(med, abs=1e-3)
        assert report[f"quality_stable_{name}_nmad"] == pytest.approx(
            1.4826 * np.percentile(np.abs(values - med), 50), rel=1e-5, abs=1e-3)
        assert report[f"quality_stable_{name}_rmse"] == pytest.approx(np.sqrt(np.mean(values**2)), rel=1e-5)
        assert 0 < report[f"quality_stable_{name}_rmse"] < 10  # m/yr on a 42-day pair of 10 m pixels
    shares = {"accepted": np.mean(status == 1), "outlier": np.mean(status == -2),
              "limit": np.mean((status == 2) | (status == 5)), "filled": filled / status.size}
    for name, share in shares.items():
        assert report[f"quality_{name}_percent"] == pytest.approx(100 * share)
    assert (report["quality_filled_percent"] > 0) == fill


def test_command_prints_the_report_and_run_json_holds_it(tmp_path, capsys):
    a, b = tmp_path / "a.tif", tmp_path / "b.tif"
    write_geotiff(a, IMAGE1, {"TIFFTAG_DATETIME": "2024:07:01 00:00:00"})
    write_geotiff(b, IMAGE2, {"ACQUISITION_DATE": "2024-08-12"})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status = cli.main([str(a), str(b), "-o", str(tmp_path / "out"), "--margin", "12", "--step", "24",
                           "--stable", "slow", "--format", "run"])
    err = capsys.readouterr().err
    assert status == 0, err
    record = json.loads((tmp_path / "out" / "run.json").read_text())
    quality = record["quality"]
    assert quality["points"] == sum(record["counts"].values())
    assert quality["accepted_percent"] == pytest.approx(100 * record["counts"]["accepted"] / quality["points"])
    lines = err.splitlines()
    lines = [line.removeprefix("talmek-track: ") for line in err.splitlines()]
    assert lines[-4].startswith("quality: ") and f"{quality['accepted_percent']:.1f} % accepted" in lines[-4]
    assert lines[-3].startswith(f"stable ground, {quality['stable_count']} vectors (m/yr):")
    assert lines[-1].split() == ["vy", *(f"{quality[f'stable_vy_{s}']:.2f}" for s in ("median", "nmad", "rmse"))]
