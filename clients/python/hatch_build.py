"""Build hooks: the version from the repository's VERSION and its LICENSE
beside this file (the metadata hook runs first, before the license files
are looked for); and, when
CALVEX_WHEEL_HELPER names the signed macOS arm64 helper, a macOS wheel that
carries it (otherwise the wheel is pure Python and runs anywhere)."""

import os
import shutil
from pathlib import Path
from typing import Any, Dict

from hatchling.builders.hooks.plugin.interface import BuildHookInterface
from hatchling.metadata.plugin.interface import MetadataHookInterface

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[1]
MACOS_TAG = "py3-none-macosx_11_0_arm64"


class CustomMetadataHook(MetadataHookInterface):
    def update(self, metadata: Dict[str, Any]) -> None:
        metadata["version"] = (REPOSITORY / "VERSION").read_text().strip()
        shutil.copyfile(REPOSITORY / "LICENSE", HERE / "LICENSE")


class CustomBuildHook(BuildHookInterface):  # type: ignore[type-arg]
    def initialize(self, version: str, build_data: Dict[str, Any]) -> None:
        helper = os.environ.get("CALVEX_WHEEL_HELPER")
        if helper:
            if not os.access(helper, os.X_OK):
                raise RuntimeError(f"CALVEX_WHEEL_HELPER {helper} is not an executable file")
            build_data["tag"] = MACOS_TAG
            build_data["pure_python"] = False
            build_data["force_include"][helper] = "calvex/bin/calvex-macos-arm64"
            # The pressure helper is built beside it, into the same folder.
            pressure = os.path.join(os.path.dirname(helper), "calvex-pressure-macos-arm64")
            if not os.access(pressure, os.X_OK):
                raise RuntimeError(f"{pressure}, the pressure helper beside CALVEX_WHEEL_HELPER, is not an executable file")
            build_data["force_include"][pressure] = "calvex/bin/calvex-pressure-macos-arm64"
