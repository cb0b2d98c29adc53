"""A stack from a STAC API search, against a stand-in API on 127.0.0.1 that filters its items by
date and cloud cover and serves their images; the search's failures refused on one line."""
import json
import urllib.parse

import pytest

pytest.importorskip("pystac_client")
from test_remote import cogs, serve  # noqa: E402, F401 - fixtures

from serving import quiet  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402

SIGNATURE = "se-2099-secret-7d1f"  # a signed URL's credential: it reaches no output
ITEMS = [("a", "2024-06-01T10:00:00Z", 5.0, "image1.tif"), ("b", "2024-07-01T10:00:00Z", 10.0, "image2.tif"),
         ("c", "2024-07-15T10:00:00Z", 90.0, "image1.tif")]


def _stac_api(url, handler, failing=False):
    """Routes of a small STAC API: the landing page, /collections and /search (GET or POST)."""
    def reply(document, status=200):
        body = json.dumps(document).encode()
        return status, {"Content-Type": "application/json", "Content-Length": str(len(body))}, body

    def landing(request):
        return reply({
            "type": "Catalog", "id": "stand-in", "description": "test API", "stac_version": "1.0.0",
            "conformsTo": ["https://api.stacspec.org/v1.0.0/core", "https://api.stacspec.org/v1.0.0/item-search",
                           "https://api.stacspec.org/v1.0.0/item-search#query"],
            "links": [{"rel": "self", "href": f"{url}/"}, {"rel": "root", "href": f"{url}/"},
                      {"rel": "data", "href": f"{url}/collections"},
                      {"rel": "search", "href": f"{url}/search", "type": "application/geo+json", "method": "GET"},
                      {"rel": "search", "href": f"{url}/search", "type": "application/geo+json", "method": "POST"}]})

    def collections(request):
        return reply({"collections": [{"type": "Collection", "id": "glacier", "stac_version": "1.0.0",
                                       "description": "d", "license": "CC-BY-4.0", "links": [],
                                       "extent": {"spatial": {"bbox": [[14, 78, 16, 79]]},
                                                  "temporal": {"interval": [[None, None]]}}}], "links": []})

    def search(request):
        if failing:
            return reply({"code": "Internal", "description": "database down"}, 500)
        if request.command == "POST":
            length = int(request.headers.get("Content-Length", 0))
            params = json.loads(request.rfile.read(length) or b"{}")
        else:
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(request.path).query)
            params = {k: v[0] for k, v in query.items()}
            if "query" in params:
                params["query"] = json.loads(params["query"])
        handler.searches.append(params)
        start, _, end = params.get("datetime", "../..").partition("/")
        most = params.get("query", {}).get("eo:cloud_cover", {}).get("lte", 100)
        features = []
        for ident, when, cloud, image in ITEMS:
            if (start not in ("", "..") and when < start) or (end not in ("", "..") and when > end) or cloud > most:
                continue
            features.append({
                "type": "Feature", "stac_version": "1.0.0", "id": ident, "collection": "glacier",
                "geometry": {"type": "Polygon", "coordinates": [[[14, 78], [16, 78], [16, 79], [14, 79], [14, 78]]]},
                "bbox": [14, 78, 16, 79], "properties": {"datetime": when, "eo:cloud_cover": cloud}, "links": [],
                "assets": {"B08": {"href": f"{url}/{image}?sig={SIGNATURE}", "roles": ["data"]}}})
        return reply({"type": "FeatureCollection", "features": features, "links": []})

    handler.searches = []
    handler.routes = {"/": landing, "/collections": collections, "/search": search}


def test_stack_from_a_stac_search(cogs, server, tmp_path):  # noqa: F811 - fixtures
    folder, url, handler = server
    serve(cogs, folder)
    _stac_api(url, handler)
    out = tmp_path / "out"
    code = quiet(cli.main, ["stack", "--stac-search", f"{url}/", "--collection", "glacier", "--bbox",
                            "14.5,78.2,15.5,78.8", "--datetime", "2024-05-01/2024-08-01", "--max-cloud", "20",
                            "-o", str(out), "--quiet", "--chip", "32", "--margin", "10", "--format", "csv,run",
                            "--no-plot"])
    assert code == 0
    asked = handler.searches[-1]
    assert asked["collections"] in (["glacier"], "glacier") and "eo:cloud_cover" in asked["query"]
    # The cloudy item is left out: one pair, dated by its items, matched as the local files are.
    lines = (out / "pairs.csv").read_text().splitlines()
    assert len(lines) == 2 and "2024-06-01" in lines[1] and "2024-07-01" in lines[1]
    name = lines[1].split(",")[0]
    local = tmp_path / "local"
    assert quiet(cli.main, ["stack", str(cogs[0] / "image1.tif"), str(cogs[0] / "image2.tif"), "--dates",
                            "2024-06-01T10:00:00Z,2024-07-01T10:00:00Z", "-o", str(local), "--quiet", "--chip", "32",
                            "--margin", "10", "--format", "csv", "--no-plot"]) == 0
    assert (out / name / "vectors.csv").read_bytes() == (local / name / "vectors.csv").read_bytes()
    assert f"{url}/image1.tif" in (out / name / "run.json").read_text()
    assert not [p for p in out.rglob("*") if p.is_file() and SIGNATURE.encode() in p.read_bytes()]


@pytest.mark.parametrize("argv, message", [
    (["--datetime", "2020-01-01/2020-12-31"], "found no items (collection glacier; datetime 2020-01-01/2020-12-31)"),
    (["--asset", "B04"], "item a has no asset 'B04'; its assets: B08"),
    ([], "failed"),  # the API answers 500
])
def test_stac_search_failures_are_one_line(cogs, server, tmp_path, capsys, argv, message):  # noqa: F811
    folder, url, handler = server
    serve(cogs, folder)
    _stac_api(url, handler, failing=not argv)
    out = tmp_path / "out"
    code = cli.main(["stack", "--stac-search", url, "--collection", "glacier", "-o", str(out), "--quiet", *argv])
    err = capsys.readouterr().err.strip()
    assert code == 1 and len(err.splitlines()) == 1 and message in err, err
    assert not out.exists()
