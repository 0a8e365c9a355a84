// The wire format of the control device's request: the 12-byte record a
// program sends with IOCTL_ZK_REQUEST and the data area of each operation.
// The driver and the tool's request library both build on this header, so it
// uses nothing but the language's own types.
#pragma once

// The control code, as CTL_CODE(0x5A4B, 1, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr unsigned int ZK_REQUEST_CODE = 0x5A4B0004u;

constexpr unsigned int ZK_REQUEST_MAGIC = 0x5A654C6Bu;
constexpr unsigned int ZK_INTERFACE_VERSION = 0x10Du;

// The record: little-endian 32-bit Magic, Operation and DataAddress. A
// DataAddress of 0 means the data area follows the record in the request's
// own buffers: the input carries it for ZK_REQUEST_SET_CONFIG, the output
// receives it for the other operations.
constexpr unsigned int ZK_REQUEST_SIZE = 12;
constexpr unsigned int ZK_REQUEST_MAGIC_OFFSET = 0;
constexpr unsigned int ZK_REQUEST_OPERATION_OFFSET = 4;
constexpr unsigned int ZK_REQUEST_ADDRESS_OFFSET = 8;

enum : unsigned int {
    ZK_REQUEST_VERSION = 1,
    ZK_REQUEST_DEVICE_INFO = 2,
    ZK_REQUEST_GET_CONFIG = 3,
    ZK_REQUEST_SET_CONFIG = 4,
};

// ZK_REQUEST_VERSION: the interface version, 4 bytes.
constexpr unsigned int ZK_VERSION_DATA_SIZE = 4;

// ZK_REQUEST_DEVICE_INFO: two text fields of 255 bytes (the last always NUL)
// around the storage device type.
constexpr unsigned int ZK_INFO_NAME_OFFSET = 0;
constexpr unsigned int ZK_INFO_TEXT_FIELD = 255;
constexpr unsigned int ZK_INFO_TYPE_OFFSET = 256;
constexpr unsigned int ZK_INFO_DRIVER_OFFSET = 260;
constexpr unsigned int ZK_INFO_DATA_SIZE = 515;

// ZK_REQUEST_GET_CONFIG / ZK_REQUEST_SET_CONFIG: the mask, then the trailer
// with its NUL, at most 100 bytes.
constexpr unsigned int ZK_CONFIG_TRAILER_OFFSET = 4;
constexpr unsigned int ZK_CONFIG_TRAILER_SIZE = 100;
constexpr unsigned int ZK_CONFIG_DATA_SIZE = ZK_CONFIG_TRAILER_OFFSET + ZK_CONFIG_TRAILER_SIZE;
