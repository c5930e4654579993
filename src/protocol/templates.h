// The request frame templates that the driver class carries.
//
// Each is a complete request with default field values: start byte 0x7B,
// channel, length (frame size - 2), two command bytes, payload, checksum and
// end byte 0x7D. The class holds them as plain lists shared by every object;
// the commands fill their fields in place before sending.
#pragma once

#include "common/ref.h"

#include <array>
#include <initializer_list>

namespace tolvan::protocol {

struct FrameTemplate {
    const char* stored_name;  // the class attribute that holds the list
    int size;
    std::array<unsigned char, 9> bytes;
};

// In the order the class body creates them.
inline constexpr std::array<FrameTemplate, 8> frame_templates{{
    {"_TOLVAN__CMD_READ_DEV_VER", 7, {0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D}},
    {"_TOLVAN__CMD_READ_OPTICAL_LEN", 7, {0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D}},
    {"_TOLVAN__CMD_READ_CURRENT_STATUS", 7, {0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D}},
    {"_TOLVAN__CMD_CLOSE_FULLSCREEN", 7, {0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D}},
    {"_TOLVAN__CMD_SET_OPTICAL_LEN", 8, {0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D}},
    {"_TOLVAN__CMD_SET_ATTENUATION", 9, {0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D}},
    {"_TOLVAN__CMD_CLEAR_ATTENUATION", 9, {0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D}},
    {"_TOLVAN__CMD_DIS_CONNECT", 9, {0x7B, 0x01, 0x07, 0x14, 0x34, 0xFF, 0xFF, 0x37, 0x7D}},
}};

// Offsets shared by every frame.
inline constexpr Py_ssize_t channel_offset = 1;
inline constexpr Py_ssize_t payload_offset = 5;

// A new list holding the template's bytes as ints.
Ref make_template_list(const FrameTemplate& frame);

// One field of a template to overwrite: template[index] = value.
struct Field {
    Py_ssize_t index;
    PyObject* value;
};

// Looks the template up through the instance (so an instance attribute of the
// same name takes precedence) and stores the fields in the order given.
// Returns the template itself. The template is looked up once per command.
Ref store_fields(PyObject* self, PyObject* stored_name, std::initializer_list<Field> fields);

// self.__cal_crc(frame): the instance's own, so that an override takes effect.
bool refresh_checksum(PyObject* self, PyObject* frame);

// store_fields, then refresh_checksum.
Ref fill_template(PyObject* self, PyObject* stored_name, std::initializer_list<Field> fields);

}  // namespace tolvan::protocol
