// Run-time library string routines.
#include "model.h"

namespace kmodel {

std::u16string ToU16(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) {
        out.push_back(static_cast<char16_t>(c));  // the model's names are ASCII
    }
    return out;
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::u16string FromUnicodeString(const UNICODE_STRING& s) {
    if (s.Buffer == nullptr) {
        return {};
    }
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

namespace detail {

std::u16string FromWide(PCWSTR s) {
    return s == nullptr ? std::u16string() : std::u16string(s);
}

}  // namespace detail
}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

namespace {

// Adds a terminating NUL when the buffer has room for one, as Rtl does.
void TerminateIfRoom(PUNICODE_STRING s) {
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) {
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
    }
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = std::char_traits<char16_t>::length(SourceString);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Destination->Length + Source->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    RequireIrqlExactly("RtlIntegerToUnicodeString", PASSIVE_LEVEL);
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char16_t digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    // The result is NUL-terminated, so the terminator needs room too.
    if (static_cast<size_t>(n + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    TerminateIfRoom(String);
    return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string a = FromUnicodeString(*String1);
    std::u16string b = FromUnicodeString(*String2);
    if (CaseInSensitive) {
        a = ToLower(a);
        b = ToLower(b);
    }
    return a.compare(b);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    RequireIrqlExactly("RtlFreeUnicodeString", PASSIVE_LEVEL);
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

// Rule KERNEL_SECURITY_CHECK_FAILURE (fast-fail code 3, a corrupt list
// entry): a list operation found a neighbour that no longer points back at
// its entry, as an entry unlinked twice or one whose list changed under a
// stale pointer does.
[[noreturn]] VOID FatalListEntryError(PVOID P1, PVOID P2, PVOID P3) {
    using kmodel::detail::Hex;
    kmodel::BugCheck(kmodel::rule::kCorruptListEntry, "LIST_ENTRY corruption: entry " + Hex(P1) + ", its Flink " +
                                                          Hex(P2) + " and Blink " + Hex(P3) +
                                                          " do not both point back at it");
}
