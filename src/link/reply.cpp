#include "link/reply.h"

namespace tolvan::link {

Ref reply_u16(PyObject* reply, Py_ssize_t offset) {
    Ref eight = Ref::steal(PyLong_FromLong(8));
    if (!eight) return Ref();
    Ref high = Ref::steal(PyNumber_Lshift(reply_byte(reply, offset + 1), eight.get()));
    return high ? Ref::steal(PyNumber_Add(reply_byte(reply, offset), high.get())) : Ref();
}

}  // namespace tolvan::link
