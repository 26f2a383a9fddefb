"""The shipped Grafana dashboard, proved against a real Prometheus: two
exporters on two loopback ports over two reported machines, the recording
rules loaded, and every query of every panel (read out of the JSON, so a
panel added later is checked too) returning data, the hottest CPU panel
the machines' hottest CPU reading. And the JSON's own structure."""

import json
import re
from pathlib import Path
from typing import Any, Dict, Iterator, List

import pytest
from conftest import ROOT, simulated, simulated_pressure
from exporter_run import PROMETHEUS, ExporterRun, PrometheusRun, wait_until

FOLDER = ROOT / "docs" / "exporter"
DASHBOARD: Dict[str, Any] = json.loads((FOLDER / "grafana" / "calvex-dashboard.json").read_text("utf-8"))
LAYOUTS: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "reported-layouts.json").read_text("utf-8"))["scenarios"]
VARIABLE_SOURCE = {"type": "prometheus", "uid": "${datasource}"}
# The machines the two exporters read, and the pressure level each reports.
MACHINES = {"m3-pro": "2", "m5-pro": "0"}


def panels() -> Iterator[Dict[str, Any]]:
    """Every panel that queries (rows hold none), nested rows included."""
    for panel in DASHBOARD["panels"]:
        if panel["type"] == "row":
            yield from panel.get("panels", [])
        else:
            yield panel


def substituted(expression: str, instances: List[str]) -> str:
    """The query as Grafana sends it: $instance as a regex of the Macs
    chosen (each escaped, the backslash doubled inside the PromQL string),
    the intervals as durations."""
    regex = "|".join(re.escape(instance).replace("\\", "\\\\") for instance in instances)
    return expression.replace("$instance", regex).replace("$__rate_interval", "15s").replace("$__interval", "5s")


def test_the_dashboard_is_importable_as_is() -> None:
    assert DASHBOARD["schemaVersion"] >= 39
    variables = {variable["name"]: variable for variable in DASHBOARD["templating"]["list"]}
    assert (variables["datasource"]["type"], variables["datasource"]["query"]) == ("datasource", "prometheus")
    instance = variables["instance"]
    assert instance["multi"] and instance["includeAll"] and instance["datasource"] == VARIABLE_SOURCE
    assert "label_values(calvex_up, instance)" in json.dumps(instance["query"])
    ids = [panel["id"] for panel in DASHBOARD["panels"]] + [nested["id"] for row in DASHBOARD["panels"] for nested in row.get("panels", [])]
    assert len(ids) == len(set(ids)), "panel ids repeat"
    for panel in panels():
        assert panel["datasource"] == VARIABLE_SOURCE, panel["title"]
        assert panel["targets"], panel["title"]
        for target in panel["targets"]:
            expression = target["expr"]
            assert target.get("datasource", VARIABLE_SOURCE) == VARIABLE_SOURCE, panel["title"]
            assert re.findall(r'instance=~?"([^"]*)"', expression) == ["$instance"], f"{panel['title']}: {expression}"
            if "calvex_temperature_celsius" in expression:
                assert panel["fieldConfig"]["defaults"].get("unit") == "celsius", panel["title"]
            # No maximum or average may count a calibration reference.
            if re.search(r"\b(max|avg)\b", expression) and "calvex_temperature_celsius{" in expression:
                assert 'kind!="calibration"' in expression, panel["title"]


@pytest.mark.skipif(PROMETHEUS is None, reason="prometheus is not installed (Debian package prometheus)")
def test_every_panel_query_answers_on_a_real_prometheus(tmp_path: Path) -> None:
    runs = [
        ExporterRun(simulated(CALVEX_SIM_SCENARIO=str(ROOT / "sim" / "scenarios" / f"{machine}.scenario")),
                    "--pressure-helper", *simulated_pressure(CALVEX_SIM_PRESSURE=level))
        for machine, level in MACHINES.items()
    ]
    try:
        instances = [f"127.0.0.1:{run.port}" for run in runs]
        rules = [FOLDER / "calvex-rules.yml", FOLDER / "calvex-alerts.yml"]
        with PrometheusRun(tmp_path, instances, rules) as server:
            wait_until(30, "both Macs up in Prometheus", lambda: len(server.query("calvex_up == 1")) == 2)
            for panel in panels():
                for target in panel["targets"]:
                    query = substituted(target["expr"], instances)
                    wait_until(30, f"{panel['title']}: {query} answers", lambda: bool(server.query(query)))

            # The hottest CPU panel shows each machine's hottest CPU reading
            # (its scenario's second snapshot repeats for ever).
            hottest = next(panel for panel in panels() if panel["title"].startswith("Hottest CPU"))
            query = substituted(hottest["targets"][0]["expr"], instances)
            expected = {instance: LAYOUTS[machine][1]["cpu"][1] for instance, machine in zip(instances, MACHINES)}

            def shown() -> Dict[str, float]:
                return {result["metric"]["instance"]: float(result["value"][1]) for result in server.query(query)}

            wait_until(20, f"the hottest CPU of each Mac: {expected}", lambda: shown() == expected)
            assert list(shown().values()) == sorted(expected.values(), reverse=True), "hottest first"
            heavy = substituted(next(p for p in panels() if "heavy thermal" in p["title"])["targets"][0]["expr"], instances)
            assert [result["value"][1] for result in server.query(heavy)] == ["1"], "one Mac at level 2"
    finally:
        for run in runs:
            run.stop()
