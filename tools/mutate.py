#!/usr/bin/env python3
"""Mutation score of the race scenarios.

Applies small race-relevant edits to the driver one at a time, each in a
scratch copy of the tree (never the real sources), builds the explore tests
there and runs the `explore` label. Prints, per edit, the scenarios that
caught it, in how many schedules and how long; an edit whose text no longer
matches the driver is reported as "does not apply". Edits that another
protection backs up are not counted alone but undone together with it.

Usage: tools/mutate.py [--scratch DIR] [--only NAME,...] [--jobs 2] [--asan]
With --asan the scratch tree is built with the `asan` preset, so that an
edit whose fault is a use of freed memory fails where it happens.
Not part of the test run: a full pass builds and runs the label once per edit.
"""
import argparse
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time

# Each edit undoes one protection of the driver against a race. name, file,
# and (old, new) replacements that must all match.
MUTATIONS = [
    # ---- removal and the timers ----
    ("flush dropped before IoDeleteDevice", "driver/DriverEntry.cpp",
     [("    KeCancelTimer(&pdx->ReceiveRecoveryTimer);\n    KeFlushQueuedDpcs();\n",
       "    KeCancelTimer(&pdx->ReceiveRecoveryTimer);\n")]),
    ("recovery timer not cancelled at removal", "driver/DispatchPlugPlay.cpp",
     [("    EndHeldRequests(pdx);\n    CancelReceiveRecovery(pdx);\n", "    EndHeldRequests(pdx);\n")]),
    # (Two more edits here change nothing a schedule can show, so they are not
    # counted. The recovery DPC not testing that the back-off was taken back:
    # CancelReceiveRecovery takes it back only when KeCancelTimer removed the
    # timer before it expired, and then the DPC never runs; the test and the
    # cancel's answer each guard the same case. The recovery timer not
    # cancelled at cleanup: the close then waits for the back-off to run
    # out, as it must anyway for one armed after the cleanup, and each open
    # starts with its full retries.)
    ("surprise removal ends held requests before the state is set", "driver/DispatchPlugPlay.cpp",
     [("    BOOLEAN wasWorking = pdx->State == Working;\n    pdx->State = SurpriseRemoved;\n"
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n    EndHeldRequests(pdx);\n",
       "    BOOLEAN wasWorking = pdx->State == Working;\n    KeReleaseSpinLock(&pdx->SpinLock, irql);\n"
       "    EndHeldRequests(pdx);\n    pdx->State = SurpriseRemoved;\n")]),
    ("removal ends held requests before the state is set", "driver/DispatchPlugPlay.cpp",
     [("    pdx->Closing = TRUE;\n    pdx->State = Removed;\n    KeReleaseSpinLock(&pdx->SpinLock, irql);\n\n"
       "    // Nothing held may start or wait once the transfers below are ended.\n    EndHeldRequests(pdx);\n",
       "    pdx->Closing = TRUE;\n    KeReleaseSpinLock(&pdx->SpinLock, irql);\n\n"
       "    EndHeldRequests(pdx);\n    pdx->State = Removed;\n")]),
    ("removal does not wait for pending actions", "driver/DispatchPlugPlay.cpp",
     [("    KeWaitForSingleObject(&pdx->PendingActionEvent, Executive, KernelMode, FALSE, nullptr);\n", "")]),
    ("removal does not stop the readers", "driver/DispatchPlugPlay.cpp",
     [("    // No reader starts another transfer, and the readers' last ones end.\n    StopReaders(pdx);\n", "")]),
    # ---- the readers, close and cleanup ----
    ("Closing tested outside the lock at resubmission", "driver/SerialEmulation.cpp",
     [("    KIRQL irql;\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    if (pdx->Closing) {\n"
       "        KeReleaseSpinLock(&pdx->SpinLock, irql);\n        IoFreeIrp(Irp);\n        return FALSE;\n    }\n",
       "    if (pdx->Closing) {\n        IoFreeIrp(Irp);\n        return FALSE;\n    }\n"
       "    KIRQL irql;\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n")]),
    ("readers not waited for when they stop", "driver/SerialEmulation.cpp",
     [("    KeWaitForSingleObject(&pdx->ReadersStoppedEvent, Executive, KernelMode, FALSE, nullptr);\n}", "}")]),
    ("reader transfers taken for cancel outside the lock", "driver/SerialEmulation.cpp",
     [("    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->Closing = TRUE;\n"
       "    PIRP read = HoldForCancel(&pdx->ReadTransfer);\n    PIRP status = HoldForCancel(&pdx->StatusTransfer);\n"
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n",
       "    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->Closing = TRUE;\n"
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n"
       "    PIRP read = HoldForCancel(&pdx->ReadTransfer);\n    PIRP status = HoldForCancel(&pdx->StatusTransfer);\n")]),
    ("close does not stop the readers", "driver/DispatchClose.cpp",
     [("        // it) is cancelled, and both readers are waited for.\n        StopReaders(pdx);\n",
       "        // it) is cancelled, and both readers are waited for.\n")]),
    ("open count given back before the readers stop", "driver/DispatchClose.cpp",
     [("    NTSTATUS status = STATUS_SUCCESS;\n",
       "    NTSTATUS status = STATUS_SUCCESS;\n    InterlockedDecrement(&pdx->OpenCount);\n"),
      ("    InterlockedDecrement(&pdx->OpenCount);\n    KeRaiseIrql", "    KeRaiseIrql")]),
    ("cleanup leaves the held wait", "driver/DispatchClose.cpp",
     [("    PIRP held;\n    while ((held = DequeueCancelableIrpOfFile(pdx, &pdx->WaitIrpQueue, file)) != nullptr) {\n"
       "        CompleteRequest(held, STATUS_CANCELLED, 0);\n    }\n", "")]),
    ("cleanup marks the file after its requests end", "driver/DispatchClose.cpp",
     [("    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    file->FsContext2 = pdx;  // see IsCleanedUpFile\n"
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n", ""),
      ("    CancelReceiveRecovery(pdx);\n\n",
       "    CancelReceiveRecovery(pdx);\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n"
       "    file->FsContext2 = pdx;\n    KeReleaseSpinLock(&pdx->SpinLock, irql);\n\n")]),
    # ---- the receive engine ----
    # (Not restarting a stalled engine while closing, in TakeFromBufferLocked,
    # is no protection a schedule can miss: Closing is set only once the
    # file's requests have all ended, or by removal in the same hold as the
    # refused state, and cleared only by the next open; in between no read
    # can take from the buffer.)
    ("purge decides the restart outside the lock", "driver/DispatchRead.cpp",
     [("    BOOLEAN restart = (pdx->ReceiveStalled || pdx->ReceiveGivenUp) && !pdx->Closing;\n    if (restart) {\n"
       "        pdx->ReceiveStalled = FALSE;\n        pdx->ReceiveGivenUp = FALSE;\n        pdx->ReceiveFailures = 0;\n"
       "        HoldReaderForRestartLocked(pdx);\n    }\n    KeReleaseSpinLock(&pdx->SpinLock, irql);\n",
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n"
       "    BOOLEAN restart = (pdx->ReceiveStalled || pdx->ReceiveGivenUp) && !pdx->Closing;\n    if (restart) {\n"
       "        KeAcquireSpinLock(&pdx->SpinLock, &irql);\n        pdx->ReceiveStalled = FALSE;\n"
       "        pdx->ReceiveGivenUp = FALSE;\n        pdx->ReceiveFailures = 0;\n"
       "        HoldReaderForRestartLocked(pdx);\n        KeReleaseSpinLock(&pdx->SpinLock, irql);\n    }\n")]),
    ("resubmission decided outside the lock", "driver/DispatchRead.cpp",
     [("        KeAcquireSpinLock(&pdx->SpinLock, &irql);\n        if (pdx->Closing) {\n"
       "            KeReleaseSpinLock(&pdx->SpinLock, irql);\n        } else if",
       "        BOOLEAN closing = pdx->Closing;\n        KeAcquireSpinLock(&pdx->SpinLock, &irql);\n"
       "        if (closing) {\n            KeReleaseSpinLock(&pdx->SpinLock, irql);\n        } else if")]),
    ("recovery armed while closing", "driver/DispatchRead.cpp",
     [("    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    if (!pdx->Closing) {\n        LONG failures",
       "    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    if (TRUE) {\n        LONG failures")]),
    # ---- read requests ----
    ("read's admission decided outside the lock", "driver/DispatchRead.cpp",
     [("        KeAcquireSpinLock(&pdx->SpinLock, &irql);\n        NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);\n",
       "        NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);\n        KeAcquireSpinLock(&pdx->SpinLock, &irql);\n")]),
    ("read's admission not decided again once its context is allocated", "driver/DispatchRead.cpp",
     [("        if (refusal != STATUS_SUCCESS || length == 0) {",
       "        if ((refusal != STATUS_SUCCESS && context == nullptr) || length == 0) {")]),
    ("queued request's cancel flag not checked", "driver/utility.cpp",
     [("    IoSetCancelRoutine(Irp, CancelRoutine);\n    if (Irp->Cancel &&",
       "    IoSetCancelRoutine(Irp, CancelRoutine);\n    if (FALSE && Irp->Cancel &&")]),
    ("read timers not stopped when a read ends", "driver/DispatchRead.cpp",
     [("    StopReadTimersLocked(context);\n    ReleaseReadLocked(context, ended);\n",
       "    if (FALSE) {\n        StopReadTimersLocked(context);\n    }\n    ReleaseReadLocked(context, ended);\n")]),
    ("read context freed while its total timer's DPC is on the way", "driver/DispatchRead.cpp",
     [("    if (context->TotalArmed && KeCancelTimer(&context->TotalTimer)) {\n",
       "    if (context->TotalArmed) {\n        KeCancelTimer(&context->TotalTimer);\n")]),
    ("read context freed while its interval timer's DPC is on the way", "driver/DispatchRead.cpp",
     [("    if (context->IntervalArmed && KeCancelTimer(&context->IntervalTimer)) {\n",
       "    if (context->IntervalArmed) {\n        KeCancelTimer(&context->IntervalTimer);\n")]),
    ("re-armed interval timer's reference given back twice", "driver/DispatchRead.cpp",
     [("            // The timer's reference stays with the timer.\n",
       "            --Context->References;\n")]),
    ("expired read timer ends a read that already ended", "driver/DispatchRead.cpp",
     [("    if (!Context->Ended) {\n        EndReadLocked(Context, STATUS_TIMEOUT, &ended);\n    }\n",
       "    EndReadLocked(Context, STATUS_TIMEOUT, &ended);\n")]),
    # ---- writes and flushes ----
    ("write turn tested outside the lock", "driver/DispatchWrite.cpp",
     [("    KIRQL irql;\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);\n",
       "    KIRQL irql;\n    BOOLEAN active = pdx->WriteActive;\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n"
       "    NTSTATUS refusal = RefusalStatusLocked(pdx, Irp);\n"),
      ("    if (pdx->WriteActive) {\n        Irp->Tail.Overlay.DriverContext[0] = context;",
       "    if (active) {\n        Irp->Tail.Overlay.DriverContext[0] = context;")]),
    ("next write taken from the queue outside the lock", "driver/DispatchWrite.cpp",
     [("    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->WriteAborted = FALSE;  // a purge ends only the writes it found\n"
       "    PIRP next;\n    while ((next = DequeueCancelableIrpLocked(&pdx->WriteIrpQueue, nullptr)) != nullptr && IsFlush(next)) {\n"
       "        InsertTailList(flushes, &next->Tail.Overlay.ListEntry);\n    }\n",
       "    PIRP next;\n    while ((next = DequeueCancelableIrpLocked(&pdx->WriteIrpQueue, nullptr)) != nullptr && IsFlush(next)) {\n"
       "        InsertTailList(flushes, &next->Tail.Overlay.ListEntry);\n    }\n"
       "    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->WriteAborted = FALSE;\n")]),
    ("write's holds given back before the next write starts", "driver/DispatchWrite.cpp",
     [("    StartNextWrite(pdx, &flushes);\n    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);\n"
       "    DecrementPendingActionCount(pdx);\n",
       "    UTILReleaseRemoveLock(&pdx->RemoveLock, Irp);\n    DecrementPendingActionCount(pdx);\n"
       "    StartNextWrite(pdx, &flushes);\n")]),
    ("purge reads the write on the wire outside the lock", "driver/DispatchWrite.cpp",
     [("    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->WriteAborted = pdx->WriteActive;\n"
       "    PIRP onWire = pdx->WriteOnWire;\n    PRWCONTEXT context = pdx->WriteOnWireContext;\n",
       "    PIRP onWire = pdx->WriteOnWire;\n    PRWCONTEXT context = pdx->WriteOnWireContext;\n"
       "    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    pdx->WriteAborted = pdx->WriteActive;\n")]),
    ("write on the wire freed while a purge holds it", "driver/DispatchWrite.cpp",
     [("    BOOLEAN held = context->CancelHolds != 0;\n", "    BOOLEAN held = FALSE;\n")]),
    ("flush ended before the write ahead of it", "driver/DispatchWrite.cpp",
     [("    IoCompleteRequest(Irp, IO_NO_INCREMENT);\n    LIST_ENTRY flushes;\n    InitializeListHead(&flushes);\n"
       "    StartNextWrite(pdx, &flushes);\n",
       "    LIST_ENTRY flushes;\n    InitializeListHead(&flushes);\n    StartNextWrite(pdx, &flushes);\n"
       "    CompleteFlushes(pdx, &flushes);\n    IoCompleteRequest(Irp, IO_NO_INCREMENT);\n")]),
    # ---- the cancel-safe queues and wait-on-mask ----
    ("dequeue takes a request its cancel routine owns", "driver/utility.cpp",
     [("            if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {\n                return Irp;\n            }",
       "            IoSetCancelRoutine(Irp, nullptr);\n            return Irp;")]),
    ("cancelled request unlinked without the lock", "driver/utility.cpp",
     [("    KIRQL irql;\n    KeAcquireSpinLock(&pdx->SpinLock, &irql);\n    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);\n"
       "    KeReleaseSpinLock(&pdx->SpinLock, irql);\n    return pdx;",
       "    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);\n    return pdx;")]),
    ("wait tests the history and is queued in two holds", "driver/DispatchIoControl.cpp",
     [("        r.Irp->IoStatus.Status = STATUS_PENDING;\n        NTSTATUS status = EnqueueWaitIrpLocked(r.pdx, r.Irp);",
       "        r.Irp->IoStatus.Status = STATUS_PENDING;\n        KeReleaseSpinLock(&r.pdx->SpinLock, irql);\n"
       "        KeAcquireSpinLock(&r.pdx->SpinLock, &irql);\n        NTSTATUS status = EnqueueWaitIrpLocked(r.pdx, r.Irp);")]),
]

# Edits that another protection backs up: alone, no schedule can tell them
# from the driver as it is, so they are not counted; each is measured with
# the protection that covers it, in COMBINED. Edit name: why it is covered.
COVERED = {
    "flush dropped before IoDeleteDevice":
        "each DPC that uses the extension holds, until its last use of it, something the removal waits for: "
        "a read timer's DPC holds the read, and the read its file, whose close the removal waits for; the "
        "receive recovery's holds the reader count that stopping the readers waits for",
    "removal does not wait for pending actions":
        "the readers' transfers and the receive recovery are waited for when the readers stop, and writes and "
        "flushes hold the remove lock; what follows a reader's last wake (its count given back in a "
        "completion DPC, or by the recovery's work item) is covered by the flush and by the work item's "
        "reference on the device object",
    "removal does not stop the readers":
        "removal sets Closing in the hold the readers test it in, aborts the pipes and waits for every "
        "transfer's count; a transfer sent after the abort fails at once on a device that is gone, and on one "
        "still present is cancelled by the close that the removal waits for anyway",
    "write's holds given back before the next write starts":
        "a write's last chunk completes in the host controller's DPC, which the removal's flush waits for, or "
        "in the thread of a cancel, purge or cleanup, each of which holds the file and with it the handle's "
        "remove lock",
}

# Protections that back each other up, undone together: one edit each.
COMBINED = [
    ("removal waits for no DPC and a write gives its holds back before the next starts",
     ["flush dropped before IoDeleteDevice", "write's holds given back before the next write starts"]),
    ("removal waits neither for pending actions nor for queued DPCs",
     ["flush dropped before IoDeleteDevice", "removal does not wait for pending actions"]),
]


def catalogue():
    """Every edit by name, as (path, replacements) parts, and the names a
    full run counts, in order."""
    parts = {name: [(path, edits)] for name, path, edits in MUTATIONS}
    for name, members in COMBINED:
        parts[name] = [part for member in members for part in parts[member]]
    counted = [name for name, _, _ in MUTATIONS if name not in COVERED] + [name for name, _ in COMBINED]
    return parts, counted


STATUS_LINE = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*(\*\*\*)?(\w[\w ]*?)\s+([\d.]+) sec")
FOUND = re.compile(r"exploration found a failing schedule after (\d+) runs: QV_SCHEDULE='([^']*)'")


def run(cmd, cwd, log):
    with open(log, "w") as out:
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


# What a failing run reported first: the verifier's rule, or the failed check.
# The source check names the field or the routine.
SYMPTOM = re.compile(r"^(rule:\s+\S+|\S+:\d+: Failure|(?:shared field|locked routine called) without SpinLock: \S+)")


BUILD = "build"  # the preset's build directory, set by main


def explore(scratch, jobs, test=None, schedule=None):
    """Runs the explore label (or one test of it, under a replay); returns
    {test: [passed, seconds, schedules, replay, symptom]} and wall time."""
    log = os.path.join(scratch, "mutate-ctest.log")
    command = ["ctest", "--test-dir", BUILD, "-L", "explore", "-j", str(jobs), "--timeout", "600",
               "--output-on-failure"]
    if test:
        command += ["-R", "^" + re.escape(test) + "$"]
    env = dict(os.environ)
    env.pop("QV_SCHEDULE", None)
    if schedule:
        env["QV_SCHEDULE"] = schedule
    start = time.time()
    with open(log, "w") as out:
        subprocess.run(command, cwd=scratch, stdout=out, stderr=subprocess.STDOUT, env=env)
    wall = time.time() - start
    results, current = {}, None
    for line in open(log, errors="replace"):
        m = STATUS_LINE.match(line)
        if m:
            name, passed, seconds = m.group(1), m.group(3).strip() == "Passed", float(m.group(4))
            results[name] = [passed, seconds, None, None, None]
            current = None if passed else name
            continue
        if not current:
            continue
        f = FOUND.search(line)
        if f and results[current][2] is None:
            results[current][2], results[current][3] = int(f.group(1)), f.group(2)
        # The child's own report: a verifier rule first, else the first
        # check of the scenario (not the fixture's summary of the exploration).
        symptom = SYMPTOM.search(line.strip())
        if symptom and "race_fixture.h" not in symptom.group(1):
            known = results[current][4]
            if known is None or (symptom.group(1).startswith("rule:") and not known.startswith("rule:")):
                results[current][4] = symptom.group(1)
    return results, wall


def replay_holds(scratch, jobs, test, result):
    """Whether the failing schedule, replayed alone, fails again with the same first symptom."""
    if test.startswith("SharedFields."):
        return f"found in the sources ({result[4]})"
    if not result[3]:
        return "no replay string"
    again, _ = explore(scratch, jobs, test, result[3])
    if test not in again or again[test][0]:
        return "replay passed"
    return "replay fails the same way" if again[test][4] == result[4] else f"replay fails otherwise ({again[test][4]})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scratch", help="scratch directory (default: a new temporary one)")
    parser.add_argument("--only", help="comma-separated mutation names")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--asan", action="store_true", help="build with the asan preset")
    args = parser.parse_args()
    global BUILD
    preset = "asan" if args.asan else "default"
    BUILD = "build-asan" if args.asan else "build"

    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                          check=True).stdout.strip()
    scratch = args.scratch or tempfile.mkdtemp(prefix="qv-mutate-")
    os.makedirs(scratch, exist_ok=True)
    # A copy of the committed tree, refreshed over a scratch directory used
    # before (its build is kept): the real sources are never edited.
    # Only files that differ are written, so the build sees what changed.
    archive = subprocess.run(["git", "-C", root, "archive", "HEAD"], capture_output=True, check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tree:
        for member in tree.getmembers():
            target = os.path.join(scratch, member.name)
            if member.isdir():
                os.makedirs(target, exist_ok=True)
                continue
            data = tree.extractfile(member).read()
            if not os.path.exists(target) or open(target, "rb").read() != data:
                with open(target, "wb") as out:
                    out.write(data)
                os.chmod(target, member.mode)
    print(f"scratch tree: {scratch}", flush=True)
    if run(["cmake", "--preset", preset], scratch, os.path.join(scratch, "mutate-configure.log")) != 0:
        sys.exit("configure failed")

    def build():
        return run(["cmake", "--build", BUILD, "--target", "explore_tests", "-j", str(args.jobs)], scratch,
                   os.path.join(scratch, "mutate-build.log")) == 0

    if not build():
        sys.exit("the unmutated tree does not build")
    baseline, wall = explore(scratch, args.jobs)
    broken = [t for t, r in baseline.items() if not r[0]]
    print(f"unmutated: {len(baseline)} scenarios, {wall:.0f} s, failing: {broken or 'none'}", flush=True)
    if broken or not baseline:
        sys.exit("the unmutated tree must pass the explore label")

    parts, chosen = catalogue()
    if args.only:
        # In the order given, so that a short run measures what matters first.
        chosen = args.only.split(",")
        unknown = [n for n in chosen if n not in parts]
        if unknown:
            sys.exit(f"no such edit: {', '.join(unknown)}")
    caught = applied = 0
    for name in chosen:
        originals = {target: open(target).read() for target in {os.path.join(scratch, p) for p, _ in parts[name]}}
        texts, applies = dict(originals), True
        for path, edits in parts[name]:
            target = os.path.join(scratch, path)
            for old, new in edits:
                applies = applies and old in texts[target]
                texts[target] = texts[target].replace(old, new, 1)
        if not applies:
            print(f"- {name}: does not apply", flush=True)
            continue
        applied += 1
        for target, text in texts.items():
            open(target, "w").write(text)
        try:
            if not build():
                print(f"- {name}: does not build", flush=True)
                continue
            results, wall = explore(scratch, args.jobs)
            failed = [(t, r) for t, r in results.items() if not r[0]]
            if failed:
                caught += 1
                what = "; ".join(f"{t} (in the sources)" if t.startswith("SharedFields.") else
                                 f"{t} ({r[2] if r[2] is not None else '?'} schedules, {r[1]:.1f} s"
                                 f"{', ' + r[3] if r[3] else ''})" for t, r in failed)
                print(f"+ {name}: caught by {what}; first: {failed[0][1][4]}; "
                      f"{replay_holds(scratch, args.jobs, *failed[0])}", flush=True)
            else:
                print(f"- {name}: escaped ({wall:.0f} s)", flush=True)
        finally:
            for target, original in originals.items():
                open(target, "w").write(original)
    print(f"score: {caught} of {applied} applied edits caught by the explore label "
          f"({len(chosen) - applied} did not apply)", flush=True)
    build()  # leave the scratch build matching its sources


if __name__ == "__main__":
    main()
