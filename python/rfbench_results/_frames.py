"""The store's rows as data frames, whichever kind of store they come from."""

import pandas as pd


class StoreError(Exception):
    """A store that cannot be read: missing, not a results store, damaged or too new."""


# The columns of each frame, in their order.
RUN_COLUMNS = ["id", "station", "unit", "operator", "user", "measurement", "started", "ended", "outcome",
               "verdict", "failed", "marginal", "unread", "points", "passes", "troubles"]
POINT_COLUMNS = ["run", "pass", "point", "kind", "measured_at", "frequency_hz", "reading_dbm", "synth_power_dbm",
                 "output_power_dbm", "temperature_c", "span_hz", "bandwidth_hz", "correction_db", "corrected_dbm",
                 "limit_upper_dbm", "limit_lower_dbm", "limit_spur_dbc", "limit_margin_db", "verdict", "workbook",
                 "in_workbook"]
PEAK_COLUMNS = ["run", "pass", "point", "rank", "frequency_hz", "level_dbm", "correction_db", "corrected_dbm"]

MHZ = 1e6

# Columns later layouts of both kinds of store added: read as NULL, or as the value given, from a
# store before them.
LATER_RUN_COLUMNS = {"unit": "''", "operator": "''", "verdict": "''", "failed_points": "0",
                     "marginal_points": "0", "unread_points": "0"}
LATER_POINT_COLUMNS = ("verdict", "limit_margin", "limit_upper", "limit_lower", "limit_spur", "correction")


def column_or(have, name, otherwise="NULL"):
    """A column the store has, or the value a store before it reads as, under its name."""
    return name if name in have else "%s AS %s" % (otherwise, name)


def open_store(path_or_url):
    """A local store (a file name) or a results server (a ``postgresql://`` address), read-only."""
    text = str(path_or_url)
    if text.startswith(("postgresql://", "postgres://")):
        from ._server import ServerStore
        return ServerStore(text)
    from ._sqlite import SqliteStore
    return SqliteStore(text)


def verdict_shown(recorded, outcome):
    """A run with limits cut short shows INCOMPLETE, unless it failed: a failed unit stays failed."""
    if outcome in ("stopped", "failed", "interrupted") and recorded and recorded != "FAIL":
        return "INCOMPLETE"
    return recorded


def utc_text(moment):
    """A time as the store's texts hold it; a naive time is taken as UTC."""
    stamp = pd.Timestamp(moment)
    stamp = stamp.tz_localize("UTC") if stamp.tzinfo is None else stamp.tz_convert("UTC")
    return stamp.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (stamp.microsecond // 1000)


def _times(values):
    return pd.to_datetime(pd.Series(values, dtype=object), utc=True)


def _numbers(values):
    return pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").astype(float)


def _texts(values):
    """Texts with '' and NULL alike as missing."""
    return pd.Series([value if value else None for value in values], dtype=object)


def runs_frame(rows):
    """Runs from dicts keyed by the store's column names, outcome and verdict as shown."""
    columns = {name: [row[name] for row in rows] for name in
               ("id", "station", "unit", "operator", "user", "measurement", "started", "ended", "outcome",
                "verdict", "failed_points", "marginal_points", "unread_points", "point_count", "pass_count",
                "trouble_count")}
    frame = pd.DataFrame({
        "id": pd.Series(columns["id"], dtype="int64"),
        "station": pd.Series(columns["station"], dtype=object),
        "unit": _texts(columns["unit"]),
        "operator": _texts(columns["operator"]),
        "user": pd.Series(columns["user"], dtype=object),
        "measurement": pd.Series(columns["measurement"], dtype=object),
        "started": _times(columns["started"]),
        "ended": _times(columns["ended"]),
        "outcome": pd.Series(columns["outcome"], dtype=object),
        "verdict": _texts([verdict_shown(verdict, outcome)
                           for verdict, outcome in zip(columns["verdict"], columns["outcome"])]),
        "failed": pd.Series(columns["failed_points"], dtype="int64"),
        "marginal": pd.Series(columns["marginal_points"], dtype="int64"),
        "unread": pd.Series(columns["unread_points"], dtype="int64"),
        "points": pd.Series(columns["point_count"], dtype="int64"),
        "passes": pd.Series(columns["pass_count"], dtype="int64"),
        "troubles": pd.Series(columns["trouble_count"], dtype="int64"),
    }, columns=RUN_COLUMNS)
    return frame


def _corrected(values, corrections):
    # A value without a table on its path is the value at the unit as it is.
    return values + corrections.fillna(0.0)


def points_frame(rows):
    """Points from dicts keyed by the store's column names; frequencies recorded in MHz."""
    get = lambda name: [row[name] for row in rows]
    reading = _numbers(get("reading"))
    correction = _numbers(get("correction"))
    frame = pd.DataFrame({
        "run": pd.Series(get("run"), dtype="int64"),
        "pass": pd.Series(get("pass"), dtype="int64"),
        "point": pd.Series(get("number"), dtype="int64"),
        "kind": pd.Series(get("row_kind"), dtype=object),
        "measured_at": _times(get("measured_at")),
        "frequency_hz": _numbers(get("frequency")) * MHZ,
        "reading_dbm": reading,
        "synth_power_dbm": _numbers(get("synthesizer_power")),
        "output_power_dbm": _numbers(get("output_power")),
        "temperature_c": _numbers(get("temperature")),
        "span_hz": _numbers(get("span")) * MHZ,
        "bandwidth_hz": _numbers(get("bandwidth")),
        "correction_db": correction,
        "corrected_dbm": _corrected(reading, correction),
        "limit_upper_dbm": _numbers(get("limit_upper")),
        "limit_lower_dbm": _numbers(get("limit_lower")),
        "limit_spur_dbc": _numbers(get("limit_spur")),
        "limit_margin_db": _numbers(get("limit_margin")),
        "verdict": _texts(get("verdict")),
        "workbook": pd.Series(get("workbook"), dtype=object),
        "in_workbook": _texts(get("in_workbook")),
    }, columns=POINT_COLUMNS)
    return frame


def peaks_frame(rows):
    """Peaks of spur points from dicts keyed by the store's column names, the peak's number from 1."""
    get = lambda name: [row[name] for row in rows]
    level = _numbers(get("level"))
    correction = _numbers(get("correction"))
    return pd.DataFrame({
        "run": pd.Series(get("run"), dtype="int64"),
        "pass": pd.Series(get("pass"), dtype="int64"),
        "point": pd.Series(get("point"), dtype="int64"),
        "rank": pd.Series([number - 1 for number in get("peak")], dtype="int64"),
        "frequency_hz": _numbers(get("frequency")),
        "level_dbm": level,
        "correction_db": correction,
        "corrected_dbm": _corrected(level, correction),
    }, columns=PEAK_COLUMNS)


def checked_version(found, known, what):
    if found is None:
        raise StoreError("%s has no schema version" % what)
    if found > known:
        raise StoreError("%s was written by a newer rfbench (schema %d; this package knows %d)"
                         % (what, found, known))
    return found


def since_text(since):
    return utc_text(since) if since is not None else ""

