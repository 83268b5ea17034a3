#!/usr/bin/env python3
"""Shared-field check of the driver's sources.

Reports every field of DEVICE_EXTENSION that the driver writes and also
reads or writes elsewhere where at least one of the two accesses holds
neither the device's SpinLock nor goes through an Interlocked operation.
Such a field is a data race whenever the two run concurrently, and the
explorer cannot see it: a plain load and store have no scheduling point
between them.

Why a check of the sources and not a verifier rule: the kernel model sees
only DDI calls, never a plain load or store, so a rule at run time would see
only what instrumentation of every access could show, and only on the paths
a schedule happens to take. The sources show every access path. The check
is lexical, and errs towards reporting:
  - a lock region runs from KeAcquireSpinLock[AtDpcLevel](&<x>->SpinLock, ...)
    to the matching release, in the text of one function;
  - routines their callers call with SpinLock held are the ones named
    *Locked and those in LOCKED_ROUTINES (each says so in the driver);
  - a release followed by a return or an else before its block closes
    ends only that branch;
  - a field is accessed as pdx->F, r.pdx->F, DeviceExtension->F (the
    driver's names for the extension); &pdx->F passed to an Interlocked
    routine is an interlocked access, passed to a routine of
    PROTECTING_CALLEES none here; any other &pdx->F counts as a read and a
    write (a list head handed to the list macros, a block copied);
  - SETUP_ROUTINES run while nothing else can, and are not checked;
  - a DEVICE_EXTENSION's kernel objects (KEVENT, KTIMER, KDPC, KSPIN_LOCK,
    REMOVE_LOCK, WORK_QUEUE_ITEM) synchronise themselves and are not checked.

It also reports a call of a routine that expects SpinLock held (a *Locked
routine, or one of LOCKED_ROUTINES) from a place that does not hold it: the
accesses inside such a routine count as protected only because of that.

ALLOWED lists the fields that are so accessed on purpose, each with why that
is not a race: for the whole field, or (reason, routines) for the unguarded
accesses of the routines named only. Usage: check_shared_fields.py [driver-dir] (exit status 1 and
a report per field when something not allowed is found).
"""
import os
import re
import sys

# Routines that run with SpinLock held by their caller.
LOCKED_ROUTINES = {
    "RaiseReceiveEvents": "called under SpinLock (its comment)",
    "EnqueueReadIrp": "called with SpinLock held (its declaration)",
    "HoldForCancel": "StopReaders calls it inside its hold of SpinLock",
    "ReleaseCancelHold": "under SpinLock (its comment)",
    "StartLineCodingAtDefaultRate": "InitializeSerEmulVariables calls it inside its hold of SpinLock",
    "LineErrorEvents": "UpdateStatus calls it inside its hold of SpinLock",
    "ServePendingReadsAndFinish": "entered with SpinLock held, which it gives up once the reads are served",
}

# Routines that run before the device can receive a request or after the
# last one: nothing runs beside them.
SETUP_ROUTINES = {
    "AddDevice": "the device is not yet attached: no request reaches it",
    "PublishDevice": "part of AddDevice",
    "UndoAddDevice": "AddDevice failing: the device never took a request",
}

# Driver routines that are handed a field's address and protect it
# themselves, by SpinLock or an Interlocked operation.
PROTECTING_CALLEES = {
    "DequeueCancelableIrp": "takes SpinLock",
    "DequeueCancelableIrpOfFile": "takes SpinLock",
    "RecoverPipeIfFailed": "takes the flag by InterlockedExchange",
}

# Fields accessed without SpinLock on purpose, and why each is safe.
ALLOWED = {
    "BulkInPipe": "set by StartDevice, which the PnP manager sends before any open; read-only while open",
    "BulkOutPipe": "set by StartDevice, which the PnP manager sends before any open; read-only while open",
    "InterruptPipe": "set by StartDevice, which the PnP manager sends before any open; read-only while open",
    "InterfaceName": "PnP start, stop and removal only, which the PnP manager sends one at a time",
    "DeviceName": "AddDevice and removal only: nothing else runs on the device then",
    "SymbolicLinkName": "PnP start, stop and removal only, which the PnP manager sends one at a time",
    "SerialCommValueName": "PnP start, stop and removal only, which the PnP manager sends one at a time",
    "DeviceCaps": "PnP requests only, which the PnP manager sends one at a time",
    "State": ("written by PnP requests, one at a time; the read that must not race the removal "
              "(DispatchRead) tests it under SpinLock, which removal sets it under; other dispatch "
              "routines read it once to refuse early, and the removal ends what they leave held",
              {"HandleStartDevice", "HandleQueryStop", "CancelQuery", "HandleStopDevice", "HandleQueryRemove",
               "DispatchClose", "DispatchCreate", "PassiveModemIoControl", "ModemIoControl",
               "PassiveDispatchWrite"}),
    "DevicePower": "power requests only, which the power manager sends one at a time per device",
    "SystemPower": "power requests only, which the power manager sends one at a time per device",
    "PendingActionCount": ("changed by Interlocked operations; removal reads it once, after it set "
                           "Closing under SpinLock so that no new action starts", {"HandleRemoveDevice"}),
    "ReadTransferBuffer": "owned by the one bulk-in transfer in flight: set before it is sent, freed "
                          "by its completion; the engine has one transfer at a time",
    "ReadUrb": "the URB of the one bulk-in transfer in flight, owned by it like ReadTransferBuffer",
    "StatusUrb": "the URB of the one interrupt transfer in flight, owned by it",
    "Timeouts": "set by IOCTL_SERIAL_SET_TIMEOUTS, which an application sends while no read of its is "
                "in flight (Windows documents no ordering otherwise); a read copies it once",
    "DtrAsserted": "set by the DTR IOCTLs under SpinLock; the one unlocked read picks a line state to send",
    "HandFlow": "the handflow IOCTLs only, which the application serialises on its handle",
    "SpecialChars": "the special-character IOCTLs only, which the application serialises on its handle",
    "DeviceErrorCode": "a LONG written whole; the interrupt completion's plain store and the open's "
                       "InterlockedExchange only change which recovery the next open runs",
    "WriteToStart": "written under SpinLock by StartNextWrite before it queues the one work item that reads it",
    "Closing": ("set under SpinLock by close and removal; every decision to send a transfer tests it "
                "under SpinLock (SubmitReaderUrb); the interrupt completion's unlocked read only skips "
                "work SubmitReaderUrb would refuse", {"StatusPipeCompletion"}),
    "ReadIrpQueue": "initialised by the open before it starts the emulation: one open at a time, and the "
                    "previous handle's cleanup ended its read, so no read is held or arriving then",
    "WaitIrpQueue": "initialised by the open (InitializeSerEmulVariables) before it starts the readers, "
                    "for the same reason as ReadIrpQueue",
    "PerfStats": "known, and left as it is: IOCTL_SERIAL_GET_STATS copies the counters without SpinLock "
                 "while completions add to them under it, so a snapshot may mix counts of two moments; "
                 "every count is whole (ULONG) and the next snapshot is right",
    "ReadTransfer": ("under SpinLock, except the reader's own use of its IRP, which it owns while it "
                     "sends it and in its completion", {"ReadBulkPipe", "ReadPipeCompletion"}),
    "StatusTransfer": ("under SpinLock, except the reader's own use of its IRP, which it owns while it "
                       "sends it and in its completion", {"StatusPipe", "StatusPipeCompletion"}),
}

SYNC_TYPES = {"KEVENT", "KTIMER", "KDPC", "KSPIN_LOCK", "REMOVE_LOCK", "WORK_QUEUE_ITEM"}
RECEIVER = r"(?:\bpdx|\br\.pdx|DeviceExtension)->"
ACQUIRE = re.compile(r"KeAcquireSpinLock(?:AtDpcLevel)?\(\s*&\s*(?:" + RECEIVER + r")SpinLock")
RELEASE = re.compile(r"KeReleaseSpinLock(?:FromDpcLevel)?\(\s*&\s*(?:" + RECEIVER + r")SpinLock")
FUNCTION = re.compile(r"^[A-Za-z_][\w\s\*:<>,&]*?\b(\w+)\s*\([^;{]*\)\s*(?:const\s*)?\{\s*$", re.M)


def extension_fields(header):
    text = open(header).read()
    body = re.search(r"typedef struct _DEVICE_EXTENSION \{(.*?)\} DEVICE_EXTENSION", text, re.S).group(1)
    fields = {}
    for line in body.splitlines():
        line = line.split("//")[0].strip()
        m = re.match(r"(\w+)\s+\*?(\w+)(\[[^\]]*\])?;", line)
        if m:
            fields[m.group(2)] = m.group(1)
    return fields


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def functions(text):
    """(name, body, first line) of each function defined in a source file."""
    for m in FUNCTION.finditer(text):
        start = m.end() - 1
        depth = 0
        for i in range(start, len(text)):
            if text[i] == "{":
                depth += 1
            elif text[i] == "}":
                depth -= 1
                if depth == 0:
                    yield m.group(1), text[start:i + 1], text.count("\n", 0, m.start()) + 1
                    break


def accesses(name, body, fields, line0, source, calls):
    """Each access to a checked field: (field, write, protected, where, routine);
    a call of a locked routine from where SpinLock is not held goes on `calls`."""
    locked_routine = name.endswith("Locked") or name in LOCKED_ROUTINES
    lines = body.splitlines()
    restore_at = {}  # line -> holds given back by a branch's release, which resume at its closing brace
    depth = 0
    found = []
    for offset, line in enumerate(lines):
        depth += restore_at.pop(offset, 0)
        for m in re.finditer(RECEIVER + r"(\w+)((?:\.\w+|\[[^\]]*\])*)\s*(\+\+|--|[-+|&^]?=(?!=))?", line):
            field = m.group(1)
            if field not in fields or fields[field] in SYNC_TYPES or field == "SpinLock":
                continue
            before = line[:m.start()]
            held = depth + len(ACQUIRE.findall(before)) - len(RELEASE.findall(before)) > 0
            interlocked = re.search(r"Interlocked\w*\(\s*(?:\([^)]*\)\s*)?&\s*$", before) is not None
            callee = re.search(r"(\w+)\((?:[^()]*,)?\s*&\s*$", before)
            if callee and callee.group(1) in PROTECTING_CALLEES:
                continue
            address = re.search(r"&\s*$", before) is not None
            write = m.group(3) is not None or re.search(r"(\+\+|--)\s*$", before) is not None or address
            where = f"{source}:{line0 + offset} {name}"
            found.append((field, write, held or locked_routine or interlocked, where, name))
            if address and not interlocked:
                found.append((field, False, held or locked_routine, where, name))
        for m in re.finditer(r"\b(\w+Locked|" + "|".join(LOCKED_ROUTINES) + r")\s*\(", line):
            before = line[:m.start()]
            held = depth + len(ACQUIRE.findall(before)) - len(RELEASE.findall(before)) > 0
            if not (held or locked_routine):
                calls.append(f"locked routine called without SpinLock: {m.group(1)} at {source}:{line0 + offset} {name}")
        releases = len(RELEASE.findall(line))
        depth += len(ACQUIRE.findall(line)) - releases
        if releases:
            # The release's block: does it leave by a return at its own level,
            # or close into an else?
            nesting, returns = 0, False
            for later in range(offset + 1, len(lines)):
                text = lines[later].strip()
                if nesting == 0 and re.match(r"return\b", text):
                    returns = True
                nesting += text.count("{") - text.count("}")
                if nesting < 0:
                    if returns or text.startswith("} else"):
                        restore_at[later] = restore_at.get(later, 0) + releases
                    break
    return found


def check(driver_dir, allowed):
    fields = extension_fields(os.path.join(driver_dir, "stddcls.h"))
    by_field = {}
    calls = []
    for source in sorted(os.listdir(driver_dir)):
        if not source.endswith(".cpp"):
            continue
        text = strip_comments(open(os.path.join(driver_dir, source)).read())
        for name, body, line0 in functions(text):
            if name in SETUP_ROUTINES:
                continue
            for field, write, protected, where, routine in accesses(name, body, fields, line0, source, calls):
                if isinstance(allowed.get(field), tuple) and routine in allowed[field][1]:
                    protected = True  # this routine's unguarded access is allowed, with its reason
                by_field.setdefault(field, []).append((write, protected, where))
    reports = list(calls)
    for field, uses in sorted(by_field.items()):
        unprotected_write = [w for write, prot, w in uses if write and not prot]
        unprotected_read = [w for write, prot, w in uses if not write and not prot]
        writes = [w for write, prot, w in uses if write]
        racy = unprotected_write and len(uses) > 1 or (unprotected_read and writes)
        if racy and not isinstance(allowed.get(field), str):
            shown = (unprotected_write + unprotected_read)[:4]
            reports.append(f"shared field without SpinLock: {field}: written at {writes[0]}, accessed without "
                           "SpinLock at " + ", ".join(shown))
    return reports


def main():
    driver_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "driver")
    reports = check(driver_dir, ALLOWED)
    for r in reports:
        print(r)
    if reports:
        sys.exit(1)
    print("shared fields: every DEVICE_EXTENSION field is accessed under SpinLock, interlocked, or allowed")


if __name__ == "__main__":
    main()
