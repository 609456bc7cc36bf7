"""Power cuts in the security service's stores, at the level of the media.

One operation of the faults table runs once with its data partition, ext4
on a card image, mounted through the logging layer (card.py) and the service
under strace, which gives the calls on the backup partition (calltrace.py).
Every state a power cut could leave is then rebuilt from the media as they
were before and the records, within a crash model:

  card      in-order  the card keeps its writes in order: everything before
                      the last flush, then any prefix of the writes after it;
            reorder   it honours flushes but keeps the writes after the last
                      one in any order: any subset that loses at most
                      REORDER_LOST of them;
            lying     it ignores flushes (or has no cache flush): every write
                      before the cut but one of its last LYING_CACHE, or any
                      prefix cut within those last LYING_CACHE.
  backup    calls     JFFS2 on NOR: each call happened or not, in order;
            weak      only a flush orders: the calls since the last fsync on
                      the partition are kept in order but at most
                      REORDER_LOST of them lost.

A cut lies anywhere in the operation's window; the card and the backup are
cut at the same moment (the records share one clock). Each recording is
checked to hold every change: the logged writes rebuild the card as the run
left it, the replayed calls the backup, and every flush of the card the
service asked for is in the log before the call returned. Each state is mounted,
which replays the ext4 journal, and checked with the faults tier's
invariants through a real start of the service. A state whose files equal
those of one already checked shares its result. With two cuts, the start
that recovers from each distinct first state is recorded in turn, and
every state of a cut during it is checked the same way.
"""
import itertools
from collections import Counter
import shutil
import time
from dataclasses import dataclass, field
from pathlib import Path

from . import card, calltrace, faults
from .card import BlockWrite

REORDER_LOST = 2
LYING_CACHE = 16
QUIET = 'ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" exec "$@"'  # no leak check under ptrace


@dataclass(frozen=True)
class Model:
    name: str
    card: str
    backup: str
    twice: bool     # a second cut during the recovering start too


MODELS = (
    Model("in-order", "in-order", "calls", twice=True),
    Model("reordering", "reorder", "weak", twice=True),
    Model("lying", "lying", "calls", twice=False),
)


@dataclass
class Recording:
    base: Path       # the card image before the run
    backup: Path     # the backup folder before the run
    events: list     # BlockWrite and calltrace.Call, in time order
    begin: int       # the window of cuts (ns)
    end: int
    answer: object = None
    answered: bool = False   # the request was answered before the run began

    def ack(self):
        """Index of the answer to the request: the last message the service
        sent on the bus in the window."""
        sent = [i for i, e in enumerate(self.events)
                if getattr(e, "name", "") == "reply" and self.begin <= e.time <= self.end]
        return sent[-1] if sent and self.answer is not None else None


@dataclass(frozen=True)
class State:
    card: tuple      # indices of the writes the card kept, in log order
    backup: tuple    # indices of the calls the backup kept
    answered: bool


@dataclass
class Tally:
    states: int = 0          # crash states enumerated
    distinct: int = 0        # of them with files not seen before: service runs
    unmountable: int = 0
    failed: list = field(default_factory=list)   # (state label, problems, kind)

    def kinds(self):
        return Counter(kind for _, _, kind in self.failed)


def kinds_text(kinds):
    """Failed states by what they lost, for a report line."""
    return "".join(f"; {n} {kind}" for kind, n in sorted(kinds.items()))


# What a failed state lost, from the start's own report and the checks.
BOTH_DAMAGED = "both key copies damaged"
ITEM_LOST = "an acknowledged change lost"   # a stored value or a clear


def failure_kind(problems, stderr):
    if all(f"{store}: storage damaged!" in stderr for store in (faults.KEYS, faults.BACKUP)):
        return BOTH_DAMAGED
    if any(p.startswith("item ") for p in problems):
        return ITEM_LOST
    return "other"


def losing(indices, most):
    """The indices in order with at most `most` of them left out."""
    for lost in range(min(most, len(indices)) + 1):
        for gone in itertools.combinations(indices, lost):
            yield tuple(i for i in indices if i not in gone)


def card_states(kind, writes, flushed):
    """The writes a card of this kind may hold at a cut; `flushed` of them
    came before the last flush."""
    durable, volatile = tuple(writes[:flushed]), tuple(writes[flushed:])
    if kind == "in-order":
        return {durable + volatile[:k] for k in range(len(volatile) + 1)}
    if kind == "reorder":
        return {durable + kept for kept in losing(volatile, REORDER_LOST)}
    every, first = tuple(writes), max(0, len(writes) - LYING_CACHE)
    return {every[:k] for k in range(first, len(every) + 1)} | \
           {every[:k] + every[k + 1:] for k in range(first, len(every))}


def backup_states(kind, calls, synced):
    if kind == "calls":
        return {tuple(calls)}
    return {tuple(calls[:synced]) + kept for kept in losing(tuple(calls[synced:]), REORDER_LOST)}


def states(recording, model):
    """Every state of a cut in the recording's window, under the model."""
    events, found = recording.events, set()
    ack = recording.ack()
    inside = [i for i, e in enumerate(events) if recording.begin <= e.time <= recording.end]
    first = inside[0] if inside else len(events)
    last = inside[-1] + 1 if inside else len(events)
    for cut in range(first, last + 1):
        writes, calls, flushed, synced = [], [], 0, 0
        for i, event in enumerate(events[:cut]):
            if isinstance(event, BlockWrite):
                if event.flush:
                    flushed = len(writes)
                else:
                    writes.append(i)
            elif event.name == "sync":
                synced = len(calls)
            elif event.name != "reply":
                calls.append(i)
        answered = recording.answered or (ack is not None and cut > ack)
        for kept in card_states(model.card, writes, flushed):
            for done in backup_states(model.backup, calls, synced):
                found.add(State(kept, done, answered))
    return sorted(found, key=lambda s: (len(s.card) + len(s.backup), s.card, s.backup))


class PowerLoss(faults.Harness):
    """One operation's recordings, states and checks on its own board."""

    def __init__(self, root, operation):
        super().__init__(root, operation)
        self.work = self.root / "work"
        self.work.mkdir(parents=True, exist_ok=True)
        self.runs_recorded = 0
        self.states_built = 0
        self.cards = {}      # a card's base and writes -> digest of its files ("": unmountable)
        self.results = {}    # digest of a state's files -> Result

    def prepare(self):
        """The board before the operation, its card as an image."""
        self.base = self.work / "base.img"
        card.make(self.base)
        with card.mounted(self.base, self.board.data) as ok:
            assert ok
            super().prepare()
        return self.base, self.snapshot / "nor"

    # --- recording ----------------------------------------------------------

    def record(self, base, backup, request, answered=False, answer=None):
        """The operation (or with request None, a start) once, on copies of
        the card image and the backup folder, with every write recorded."""
        self.runs_recorded += 1
        name = self.work / f"rec{self.runs_recorded}"
        image, log, trace = name.with_suffix(".img"), name.with_suffix(".blocks"), name.with_suffix(".strace")
        shutil.copyfile(base, image)
        self.set_backup(backup)
        b = self.board
        tracer = ["strace", "-f", "-qq", "-yy", "-x", "-s", "1048576", "-o", str(trace),
                  "--absolute-timestamps=format:unix,precision:ns", "-e", "trace=%file,%desc,%network"]
        begin = time.time_ns()
        with card.logged(image, log, b.data, self.work):
            b.start(program=["sh", "-c", QUIET, "-", *tracer, self.service], wait=False)
            self._wait_serving_or_exit()
            if request is not None:
                begin = time.time_ns()
                answer = self._call(*request)
            end = time.time_ns()
            self._stop_traced()
        writes, calls = card.read_log(log), calltrace.read(trace)
        self.verify(base, backup, image, writes, calls, trace)
        image.unlink()
        events = sorted(writes + calls, key=lambda e: e.time)
        return Recording(base, backup, events, begin, end, answer, answered)

    def verify(self, base, backup, image, writes, calls, trace):
        """The records hold every change of the run: the card image as it
        was with every logged write is the card as the run left it, the
        backup folder with every call replayed is the folder as the run
        left it, and each flush the service asked of the card had reached
        the log when it returned (cuts rest on that order)."""
        rebuilt, folder = self.work / "rebuilt.img", self.work / "rebuilt.nor"
        card.apply(base, [w for w in writes if not w.flush], rebuilt)
        assert card.same_image(rebuilt, image), "the block log misses writes that reached the card"
        rebuilt.unlink()
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(backup, folder, symlinks=True)
        calltrace.replay(calls, folder)
        assert card.tree_digest(folder).digest() == card.tree_digest(self.board.nor).digest(), \
            "replaying the backup's calls does not give the folder the run left"
        shutil.rmtree(folder)
        for entry, done in calltrace.flushed(trace, card.DATA):
            last = max((w.time for w in writes if not w.flush and w.time < done), default=None)
            assert last is None or any(last <= w.time <= done for w in writes if w.flush), \
                f"a flush of the card asked at {entry} returned before the log had one"

    def record_recovery(self, recording, state):
        """The start after the state: its card image and backup as the
        media it begins from."""
        name = self.work / f"first{self.runs_recorded}"
        image, folder = name.with_suffix(".img"), name.with_suffix(".nor")
        self.build(recording, state, image)
        shutil.copytree(self.board.nor, folder, symlinks=True)
        return self.record(image, folder, None, answered=state.answered,
                           answer=recording.answer if state.answered else None)

    def set_backup(self, folder):
        shutil.rmtree(self.board.nor)
        shutil.copytree(folder, self.board.nor, symlinks=True)

    # --- one state ---------------------------------------------------------

    def build(self, recording, state, image):
        """The state's card image and (in the board's folder) its backup;
        the digest of the card's writes."""
        events = recording.events
        written = card.apply(recording.base, [events[i] for i in state.card], image)
        self.set_backup(recording.backup)
        calltrace.replay([events[i] for i in state.backup], self.board.nor)
        return written

    def check_state(self, recording, state):
        """The state's Result. The card's files are read once per distinct
        set of writes; a state whose files equal those of one checked
        before shares its result."""
        # A new file each time: a loop device that lets go late keeps the old.
        self.states_built += 1
        image = self.work / f"state{self.states_built % 2}.img"
        image.unlink(missing_ok=True)
        written = f"{recording.base}:{self.build(recording, state, image)}"
        backup = card.tree_digest(self.board.nor).hexdigest()
        files = self.cards.get(written)
        if files is None:
            with card.mounted(image, self.board.data) as ok:
                files = card.tree_digest(self.board.data / "vyrna").hexdigest() if ok else ""
            self.cards[written] = files
        if not files:
            return Result(written, None, fresh=False)
        digest = f"{files}:{backup}:{state.answered}"
        if digest in self.results:
            return self.results[digest]
        with card.mounted(image, self.board.data, settle=False):  # a new image each time
            problems = self.check(recording.answer if state.answered else None)
        kind = failure_kind(problems, self.board.stderr()) if problems else None
        self.results[digest] = Result(digest, problems, fresh=False, kind=kind)
        return Result(digest, problems, fresh=True, kind=kind)

    # --- enumeration --------------------------------------------------------

    def enumerate(self, recording, model, tally, limit=None):
        """Checks the recording's states; returns the distinct ones that
        mounted. With a limit, only that many states: first those whose
        backup calls did not keep their order, then those whose card writes
        did not, then those with most to undo, each group spread over the
        window."""
        distinct = {}
        ordered = spread_order(states(recording, model))
        if limit is not None:
            in_order = set(states(recording, MODELS[0])) if model != MODELS[0] else set()
            kept_order = {s.backup for s in in_order}
            ordered.sort(key=lambda s: (s.backup in kept_order, s in in_order, -to_undo(recording, s)))
            ordered = ordered[:limit]
        for state in ordered:
            tally.states += 1
            result = self.check_state(recording, state)
            tally.distinct += result.fresh
            if result.problems is None:
                tally.unmountable += 1
                tally.failed.append((label(recording, state), ["the card does not mount"], "unmountable"))
                continue
            if result.problems:
                tally.failed.append((label(recording, state), result.problems, result.kind))
            distinct.setdefault(result.digest, (state, result))
        return list(distinct.values())


@dataclass(frozen=True)
class Result:
    digest: str
    problems: list      # None: the card does not mount
    fresh: bool         # checked now, not shared with an earlier state
    kind: str = None    # of a failure


def to_undo(recording, state):
    """How many files of a write cut short the state's backup holds: its
    markers, and the content files written under them. With a limit the
    states with most to undo at the next start come first."""
    markers, written = set(), set()
    for i in state.backup:
        call = recording.events[i]
        folder, _, name = call.args[0].rpartition("/")
        if call.name == "open" and name.startswith(".") and name != ".CRC":
            markers.add(call.args[0])
        elif call.name == "open" and f"{folder}/.{name}" in markers:
            written.add(call.args[0])
        elif call.name == "unlink":
            markers.discard(call.args[0])
            written.discard(call.args[0])
    return len(markers) + len({w for w in written if w.rpartition("/")[0] + "/." + w.rpartition("/")[2] in markers})


def spread_order(items):
    """The items in an order whose every prefix is spread over the list."""
    order, seen, step = [], set(), len(items)
    while step >= 1 and len(order) < len(items):
        for i in range(0, len(items), step):
            if i not in seen:
                seen.add(i)
                order.append(items[i])
        step //= 2
    return order


def label(recording, state):
    events = recording.events
    last = max(state.card + state.backup, default=-1)
    where = events[last] if last >= 0 else None
    what = "nothing" if where is None else \
        (f"card write @{where.offset}" if isinstance(where, BlockWrite) else f"{where.name} {where.args[:1]}")
    return (f"{len(state.card)} card writes, {len(state.backup)} backup calls, "
            f"{'answered' if state.answered else 'unanswered'}, last kept: {what}")


def run_operation(root, operation, models=MODELS, limit=None, firsts=None, report=print):
    """Every state of one operation under each model; limit bounds the
    states checked per model and recording, firsts the first states whose
    recovering start is cut again (those with most to undo first; without
    a bound, every distinct one).
    Returns {model name: (Tally of one cut, Tally of two cuts or None)}."""
    harness = PowerLoss(root, operation)
    base, backup = harness.prepare()
    first = harness.record(base, backup, operation.request)
    out = {}
    for model in models:
        once, twice = Tally(), Tally() if model.twice else None
        found = harness.enumerate(first, model, once, limit)
        if twice is not None:
            candidates = [state for state, _ in found]
            if firsts is not None:
                # Those whose start has most to undo, one per backup state.
                candidates, backups = [], set()
                for state in sorted(spread_order(states(first, model)), key=lambda s: -to_undo(first, s)):
                    if state.backup not in backups:
                        backups.add(state.backup)
                        candidates.append(state)
            for state in candidates[:firsts]:
                recovering = harness.record_recovery(first, state)
                harness.enumerate(recovering, model, twice, limit)
        out[model.name] = (once, twice)
        for cuts, tally in (("1 cut", once), ("2 cuts", twice)):
            if tally is not None:
                kinds = kinds_text(tally.kinds())
                report(f"{operation.name:26s} {model.name:10s} {cuts:6s} {tally.states:6d} states "
                       f"{tally.distinct:5d} checked {tally.unmountable:4d} unmountable "
                       f"{len(tally.failed):5d} failed{kinds}")
                for where, problems, _ in tally.failed[:3]:
                    report(f"    {where}")
                    for problem in problems[:3]:
                        report(f"        {problem}")
    return out
