// A planted driver for the shared-field check: one field under SpinLock,
// one written beside it without, and a routine that expects the lock
// called once with it and once without.
typedef struct _DEVICE_EXTENSION {
    KSPIN_LOCK SpinLock;
    ULONG Guarded;
    ULONG Unguarded;
    LONG Counted;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
