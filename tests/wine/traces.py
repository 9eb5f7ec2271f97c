"""The JSON-line traces that tessel-sim (on its standard output or with
--trace) and tessel-updater-sim.exe (TESSEL_SIM_TRACE) write: one record a
line, each with its time `t` in milliseconds and its event `ev`, the last one
the `summary`. The one reader of them for the tests under Wine and the scripts."""
import json
import re
from pathlib import Path

DATE = re.compile(r"\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d")


def parse(text):
    """The records of a trace's text. A last line without its line end is one
    still being written (a trace read while its program runs): it is left out."""
    lines = text.split("\n")
    if lines and lines[-1] != "":
        lines.pop()
    return [json.loads(line) for line in lines if line.strip()]


def read(path):
    """The records of a trace file; none while it does not exist yet."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except OSError:
        return []
    return parse(text)


def events(trace, ev):
    return [r for r in trace if r.get("ev") == ev]


def finished(trace):
    """Whether the trace is complete: it ends with the summary."""
    return bool(trace) and trace[-1].get("ev") == "summary"


def exit_code(trace):
    codes = [r["code"] for r in events(trace, "exit")]
    return codes[-1] if codes else None


def result_line(trace):
    """The result log's line as the summary has it, its date and time as DATE."""
    summary = events(trace, "summary")
    log = summary[-1].get("result_log") if summary else None
    return DATE.sub("DATE", log) if log else log
