"""The history store: one SQLite file by default, a PostgreSQL database for a team.

Every write is one transaction; SQLite runs in WAL mode with a busy timeout, so several
processes can add jobs at once. Messages never show a password.
"""

import sqlite3
import time
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from korvo.reporter.history import schema, urls
from korvo.reporter.history.rows import JobRows

BUSY_TIMEOUT_S = 60

# A row of the runs table, in schema.COLUMNS' order.
RunRow = Tuple[int, int, int, int, int, Optional[int], Optional[int], Optional[int]]


class StoreError(Exception):
    """The store cannot be used (missing, newer, unreachable); one line, no password."""


class Store:
    """An open history store. Use as a context manager, or close() it."""

    def __init__(self, url: Optional[str] = None):
        self.url = urls.resolve(url)
        self.dialect, where = urls.parse(self.url)
        # sqlite3's or psycopg's connection: the same calls, no common type
        self._conn: Any = None
        try:
            if self.dialect == "sqlite":
                self._conn = sqlite3.connect(where, timeout=BUSY_TIMEOUT_S, isolation_level=None)
                self._conn.execute("PRAGMA journal_mode=WAL")
                self._conn.execute("PRAGMA synchronous=NORMAL")
                self._conn.execute("PRAGMA foreign_keys=ON")
            else:
                try:
                    import psycopg
                except ImportError:
                    raise StoreError("a PostgreSQL store needs psycopg: pip install "
                                     "'korvo-reporter[postgres]'") from None
                self._conn = psycopg.connect(where, autocommit=True)
        except StoreError:
            raise
        except Exception as exc:
            raise StoreError("cannot open the history store %s: %s"
                             % (urls.redact(self.url), urls.redact(first_line(exc)))) from None
        self._prepare()

    # ---- plumbing ----------------------------------------------------------------------
    def _sql(self, text: str) -> str:
        return text if self.dialect == "sqlite" else text.replace("?", "%s")

    def execute(self, text: str, params: Sequence[Any] = ()) -> Any:
        return self._conn.execute(self._sql(text), params)

    def query(self, text: str, params: Sequence[Any] = ()) -> List[Tuple[Any, ...]]:
        return list(self.execute(text, params).fetchall())

    def _begin(self) -> None:
        # SQLite takes the write lock at once, so two writers never both read then fail.
        self._conn.execute("BEGIN IMMEDIATE" if self.dialect == "sqlite" else "BEGIN")

    def joined(self, expression: str) -> str:
        """SQL for the non-null values of an integer `expression` over a group, as one text
        of comma-separated numbers in no set order (NULL when there are none)."""
        if self.dialect == "sqlite":
            return "group_concat(%s)" % expression
        return "string_agg(CAST(%s AS TEXT), ',')" % expression

    def transaction(self) -> "_Transaction":
        return _Transaction(self)

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    def __enter__(self) -> "Store":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- schema ------------------------------------------------------------------------
    def _version(self) -> Optional[int]:
        if self.dialect == "sqlite":
            found = self.query("SELECT name FROM sqlite_master WHERE type='table' AND name='meta'")
        else:
            found = self.query("SELECT tablename FROM pg_tables WHERE tablename='meta' "
                               "AND schemaname = current_schema()")
        if not found:
            return None
        row = self.query("SELECT value FROM meta WHERE key='schema_version'")
        return int(row[0][0]) if row else None

    def _prepare(self) -> None:
        try:
            if self._version() == schema.VERSION:
                return  # the common case, without taking a lock
            with self.transaction():
                if self.dialect == "postgresql":
                    # several processes may open a new store at once: one makes the tables
                    self.execute("SELECT pg_advisory_xact_lock(74201)")
                version = self._version()
                if version is None:
                    for statement in schema.tables(self.dialect):
                        self.execute(statement)
                    self.execute("INSERT INTO meta (key, value) VALUES ('schema_version', ?)",
                                 (str(schema.VERSION),))
                elif version > schema.VERSION:
                    raise StoreError(
                        "the history store %s was made by a newer korvo-reporter (schema %d; "
                        "this one reads up to %d): upgrade korvo-reporter"
                        % (urls.redact(self.url), version, schema.VERSION))
                elif version < schema.VERSION:
                    for statement in schema.upgrade(self.dialect, version):
                        self.execute(statement)
                    self.execute("UPDATE meta SET value = ? WHERE key = 'schema_version'",
                                 (str(schema.VERSION),))
        except StoreError:
            raise
        except Exception as exc:
            raise StoreError("cannot use the history store %s: %s"
                             % (urls.redact(self.url), urls.redact(first_line(exc)))) from None

    # ---- ids of texts, series and testcases ------------------------------------------------
    def _ids(self, table: str, column: str, values: Iterable[str]) -> Dict[str, int]:
        wanted = sorted(set(values))
        found: Dict[str, int] = {}
        for chunk in _chunks(wanted, 500):
            marks = ",".join("?" * len(chunk))
            for key, value in self.query("SELECT id, %s FROM %s WHERE %s IN (%s)"
                                         % (column, table, column, marks), chunk):
                found[value] = key
        missing = [v for v in wanted if v not in found]
        if missing:
            insert = ("INSERT INTO %s (%s) VALUES (?) ON CONFLICT DO NOTHING" % (table, column))
            self._many(insert, [(v,) for v in missing])
            for chunk in _chunks(missing, 500):
                marks = ",".join("?" * len(chunk))
                for key, value in self.query("SELECT id, %s FROM %s WHERE %s IN (%s)"
                                             % (column, table, column, marks), chunk):
                    found[value] = key
        return found

    def testcase_ids(self, keys: Iterable[Tuple[str, str]]) -> Dict[Tuple[str, str], int]:
        """The ids of the stored testcases among `keys` ((script, path) pairs)."""
        wanted = set(keys)
        found: Dict[Tuple[str, str], int] = {}
        for chunk in _chunks(sorted({script for script, _ in wanted}), 500):
            marks = ",".join("?" * len(chunk))
            for key, script, path in self.query("SELECT id, script, path FROM testcases"
                                                " WHERE script IN (%s)" % marks, chunk):
                if (script, path) in wanted:
                    found[(script, path)] = key
        return found

    def _testcase_ids(self, keys: Iterable[Tuple[str, str, str]]) -> Dict[Tuple[str, str], int]:
        """testcase_ids, adding the testcases not stored yet."""
        wanted = {(script, path): kind for script, path, kind in keys}
        found = self.testcase_ids(wanted)
        missing = [(s, p, k) for (s, p), k in wanted.items() if (s, p) not in found]
        if missing:
            self._many("INSERT INTO testcases (script, path, kind) VALUES (?, ?, ?) "
                       "ON CONFLICT DO NOTHING", missing)
            found.update(self.testcase_ids((s, p) for s, p, _ in missing))
        return found

    def _many(self, text: str, rows: Sequence[Tuple[Any, ...]]) -> None:
        if not rows:
            return
        if self.dialect == "sqlite":
            self._conn.executemany(text, rows)
        else:
            with self._conn.cursor() as cur:
                cur.executemany(self._sql(text), rows)

    # ---- adding a job -----------------------------------------------------------------------
    def add(self, job: JobRows) -> Tuple[int, bool]:
        """Stores `job` in one transaction; returns (job id, whether it replaced one).

        The same job added twice is stored once: a job is its campaign id and start time,
        and a later add (a merged rerun, or the job's journal then its results) replaces it.
        """
        for attempt in range(5):
            try:
                with self.transaction():
                    return self._add(job)
            except StoreError:
                raise
            except Exception as exc:
                if self.dialect == "postgresql" and _is_serialization(exc) and attempt < 4:
                    time.sleep(0.05 * (attempt + 1))
                    continue
                raise
        raise AssertionError("unreachable")

    def _add(self, job: JobRows) -> Tuple[int, bool]:
        series_id = self._ids("series", "name", [job.series])[job.series]
        old = self.query("SELECT id FROM jobs WHERE campaign = ? AND start_us = ?",
                         (job.campaign, job.start_us))
        if old:
            self.execute("DELETE FROM runs WHERE job_id = ?", (old[0][0],))
            self.execute("DELETE FROM tasks WHERE job_id = ?", (old[0][0],))
            self.execute("DELETE FROM jobs WHERE id = ?", (old[0][0],))
        params = (series_id, job.campaign, job.start_us, job.stop_us, job.runtime, job.result,
                  job.counts_text(), job.tasks_declared, job.tasks_ran, int(job.complete),
                  job.source, job.files, int(time.time() * 1e6))
        insert = ("INSERT INTO jobs (series_id, campaign, start_us, stop_us, runtime, result, counts,"
                  " tasks_declared, tasks_ran, complete, source, files, added_us)"
                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        if old:
            # the job keeps its place in the series' order
            self.execute(insert.replace("(series_id", "(id, series_id").replace("VALUES (?", "VALUES (?, ?"),
                         (old[0][0],) + params)
            job_id = old[0][0]
        elif self.dialect == "sqlite":
            job_id = self.execute(insert, params).lastrowid
        else:
            job_id = self.query(insert + " RETURNING id", params)[0][0]
        self._many("INSERT INTO tasks (job_id, ordinal, task, script, result, start_ms, runtime_ms)"
                   " VALUES (?, ?, ?, ?, ?, ?, ?)",
                   [(job_id, t.ordinal, t.task, t.script, t.result, t.start_ms, t.runtime_ms)
                    for t in job.tasks])
        texts = self._ids("texts", "text", [r.reason for r in job.runs if r.reason] +
                          [r.result for r in job.runs])
        cases = self._testcase_ids((r.script, r.path, r.kind) for r in job.runs)
        rows: Dict[int, RunRow] = {}
        for r in job.runs:  # the same testcase twice in one job: the later one counts
            case = cases[(r.script, r.path)]
            rows[case] = (job_id, case, r.outcome, int(r.rerun), texts[r.result], r.start_ms,
                          r.runtime_ms, texts[r.reason] if r.reason else None)
        # in key order: the job's runs go to the end of the table, in one stretch
        self._insert_runs([rows[case] for case in sorted(rows)])
        return job_id, bool(old)

    def _insert_runs(self, rows: List[RunRow]) -> None:
        if self.dialect == "sqlite":
            self._conn.executemany("INSERT INTO runs (%s) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
                                   % schema.COLUMNS, rows)
            return
        with self._conn.cursor() as cur:
            with cur.copy("COPY runs (%s) FROM STDIN" % schema.COLUMNS) as copy:
                for row in rows:
                    copy.write_row(row)


class _Transaction:
    def __init__(self, store: Store):
        self.store = store

    def __enter__(self) -> Store:
        self.store._begin()
        return self.store

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        conn = self.store._conn
        if kind is None:
            conn.execute("COMMIT")
        else:
            try:
                conn.execute("ROLLBACK")
            except Exception:
                pass


def _chunks(items: List[Any], size: int) -> Iterable[List[Any]]:
    for at in range(0, len(items), size):
        yield items[at:at + size]


def _is_serialization(exc: Exception) -> bool:
    state = getattr(exc, "sqlstate", None)
    return state in ("40001", "40P01", "23505")


def first_line(exc: Any) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
