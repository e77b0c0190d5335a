"""Writes the distribution's metadata into a folder laid out as the wheel lays
out its files, so that what finds installed packages by their metadata finds
this one there too: fsspec looks its back ends up by entry point.

    python3 tools/dist_info.py SITE_DIR

The name, version and entry points come from pyproject.toml, the one place
they are written.
"""

import sys
import tomllib
from pathlib import Path


def main() -> None:
    site = Path(sys.argv[1])
    project = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
    info = site / f"{project['name']}-{project['version']}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
    )
    groups = project.get("entry-points", {})
    if "scripts" in project:
        groups = {"console_scripts": project["scripts"], **groups}
    lines = []
    for group, entries in groups.items():
        lines.append(f"[{group}]")
        lines.extend(f"{name} = {target}" for name, target in entries.items())
        lines.append("")
    (info / "entry_points.txt").write_text("\n".join(lines))


if __name__ == "__main__":
    main()
