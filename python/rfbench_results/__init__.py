"""Read-only access to rfbench's results as pandas data frames.

    import rfbench_results
    store = rfbench_results.open_store("/home/lab/rfbench/rfbench.sqlite")
    runs = store.runs(unit="SN0042")
    points = store.points(runs.id.iloc[-1])

A local store (an SQLite file) is opened read-only and left as it was found; a results server is
read through psycopg2 from a ``postgresql://`` address. Frames are tidy: one row per run, point or
peak, SI units, the unit in each column's name, times as UTC timestamps, NaN for no value.
"""

from ._frames import StoreError, open_store

__all__ = ["open_store", "StoreError"]
