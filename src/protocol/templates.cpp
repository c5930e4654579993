#include "protocol/templates.h"

#include "common/calls.h"
#include "common/names.h"

#include <utility>

namespace tolvan::protocol {

Ref make_template_list(const FrameTemplate& frame) {
    Ref list = Ref::steal(PyList_New(frame.size));
    if (!list) return Ref();
    for (int i = 0; i < frame.size; ++i) {
        PyObject* byte = PyLong_FromLong(frame.bytes[i]);
        if (byte == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), i, byte);
    }
    return list;
}

Ref store_fields(PyObject* self, PyObject* stored_name, std::initializer_list<Field> fields) {
    Ref frame = get_attr(self, stored_name);
    if (!frame) return Ref();
    for (const Field& field : fields) {
        if (!set_item(frame.get(), field.index, field.value)) return Ref();
    }
    return frame;
}

bool refresh_checksum(PyObject* self, PyObject* frame) {
    return static_cast<bool>(call_method(self, names::private_cal_crc, frame));
}

Ref fill_template(PyObject* self, PyObject* stored_name, std::initializer_list<Field> fields) {
    Ref frame = store_fields(self, stored_name, fields);
    return frame && refresh_checksum(self, frame.get()) ? std::move(frame) : Ref();
}

}  // namespace tolvan::protocol
