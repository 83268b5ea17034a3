// Helpers a USB client driver uses to build URBs and to walk descriptors,
// with the DDK's names and parameter lists.
//
// The builders are brace-block macros, as in the DDK, so a call followed by a
// semicolon is an ordinary statement and every argument is evaluated once.
// They fill only the fields the request uses; the caller zeroes the URB first
// when the reserved fields matter.
#pragma once

#include "usb.h"

// ---------------------------------------------------------------------------
// Request sizes for the variable-length select requests
// ---------------------------------------------------------------------------

// One USBD_INTERFACE_INFORMATION already holds one pipe.
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + ((numEndpoints) - 1) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                     \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                \
     ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                            \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION))

// ---------------------------------------------------------------------------
// URB builders
// ---------------------------------------------------------------------------

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,     \
                                               transferBufferLength, transferFlags, link)                      \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                   \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                            \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)(transferBufferLength);                \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                             \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                   \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (ULONG)(transferFlags);                              \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                    \
    }

// cmd is one of the URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_* codes; it
// picks the recipient, while request/value/index become the setup packet.
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, index,           \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)                   \
    {                                                                                                          \
        (urb)->UrbHeader.Function = (USHORT)(cmd);                                                             \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                            \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (ULONG)(transferBufferLength);              \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (UCHAR)(reservedbits);                   \
        (urb)->UrbControlVendorClassRequest.Request = (UCHAR)(request);                                        \
        (urb)->UrbControlVendorClassRequest.Value = (USHORT)(value);                                           \
        (urb)->UrbControlVendorClassRequest.Index = (USHORT)(index);                                           \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (ULONG)(transferFlags);                            \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                  \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                            \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                            \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (ULONG)(transferBufferLength);               \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (UCHAR)(descriptorType);                           \
        (urb)->UrbControlDescriptorRequest.Index = (UCHAR)(descriptorIndex);                                   \
        (urb)->UrbControlDescriptorRequest.LanguageId = (USHORT)(languageId);                                  \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    }

// op is one of the URB_FUNCTION_GET_STATUS_FROM_* codes; the status is two bytes.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)                      \
    {                                                                                                          \
        (urb)->UrbHeader.Function = (USHORT)(op);                                                              \
        (urb)->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);                      \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                               \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);                             \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                                   \
        (urb)->UrbControlGetStatusRequest.Index = (USHORT)(index);                                             \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                                    \
    }

// op is one of the URB_FUNCTION_SET_FEATURE_TO_* or ..._CLEAR_FEATURE_TO_* codes.
#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                                          \
    {                                                                                                          \
        (urb)->UrbHeader.Function = (USHORT)(op);                                                              \
        (urb)->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                         \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (USHORT)(featureSelector);                           \
        (urb)->UrbControlFeatureRequest.Index = (USHORT)(index);                                               \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                                      \
    }

// A NULL configuration descriptor puts the device back in the unconfigured state.
#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                               \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                         \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                            \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                     \
    }

// length is the whole variable-length URB (GET_SELECT_INTERFACE_REQUEST_SIZE);
// the interface information is what follows the fixed part.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting)    \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                             \
        (urb)->UrbHeader.Length = (USHORT)(length);                                                            \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (UCHAR)(alternateSetting);                      \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (UCHAR)(interfaceNumber);                        \
        (urb)->UrbSelectInterface.Interface.Length =                                                           \
            (USHORT)((length) - offsetof(struct _URB_SELECT_INTERFACE, Interface));                            \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                                 \
    }

// ---------------------------------------------------------------------------
// USBD library routines
// ---------------------------------------------------------------------------

// Input to USBD_CreateConfigurationRequestEx: one entry per interface to
// configure, ended by an entry whose InterfaceDescriptor is NULL.
typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

extern "C" {

// Allocates (from pool; free with ExFreePool) and formats a select-configuration URB.
DECLSPEC_IMPORT PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// -1 in any criterion means "don't care".
DECLSPEC_IMPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

DECLSPEC_IMPORT PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                                 PVOID StartPosition, LONG DescriptorType);

}  // extern "C"
