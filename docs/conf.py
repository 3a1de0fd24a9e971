# Sphinx configuration of the documentation site. scripts/docs.sh builds it (warnings are errors)
# after running Doxygen over the public headers, and runs every example the pages hold.
import os
import re
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version() -> str:
    # The one place the version is written: CMake's project(), which the package's metadata reads too.
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^project\(\S+ VERSION (\S+)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError("CMakeLists.txt names no project VERSION")
    return match[1]


project = "halyx_verifier"
author = "the halyx_verifier developers"
copyright = "the halyx_verifier developers, Apache License 2.0"
release = version = project_version()

extensions = ["myst_parser", "breathe"]
source_suffix = {".md": "markdown"}
root_doc = "index"
# pypi.md is the package index's description, built into the package, not a page of the site.
exclude_patterns = ["pypi.md", "requirements.txt", "_build"]

myst_enable_extensions = ["colon_fence", "deflist"]
# Links such as [the checks](design/checks.md#the-order-of-the-checks) find a heading by its slug.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"halyx_verifier {release}"
pygments_style = "sphinx"

# The C++ API page renders Doxygen's XML of the public headers (scripts/docs.sh writes it).
breathe_projects = {"halyx": os.environ.get("HALYX_DOXYGEN_XML", str(ROOT / "build" / "docs" / "xml"))}
breathe_default_project = "halyx"
breathe_domain_by_extension = {"hpp": "cpp"}
breathe_show_include = False
cpp_index_common_prefix = ["halyx::"]


PUBLIC_HEADERS = ROOT / "halyx-core" / "include" / "halyx"


def check_api_page(app, config):
    """Every public header (halyx-core/include/halyx, which CMake installs) has its row on the C++
    API page, and no other does."""
    listed = sorted(p.relative_to(PUBLIC_HEADERS).as_posix() for p in PUBLIC_HEADERS.rglob("*.hpp"))
    if not listed:
        raise RuntimeError(f"no headers in {PUBLIC_HEADERS}")
    page = (HERE / "reference" / "cpp-api.md").read_text(encoding="utf-8")
    shown = sorted(re.findall(r"^\| `<halyx/([^>]+)>` \|", page, re.MULTILINE))
    if shown != listed:
        raise RuntimeError(f"reference/cpp-api.md shows {shown}, but {PUBLIC_HEADERS} holds {listed}")


def setup(app):
    app.connect("config-inited", check_api_page)
