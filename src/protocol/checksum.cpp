#include "protocol/checksum.h"

#include "common/calls.h"
#include "common/names.h"
#include "common/runtime.h"

#include <optional>

namespace tolvan::protocol {

namespace {

// The checksum of `covered` when every element is an int of moderate size,
// which is what the templates hold; nothing otherwise.
std::optional<long> small_int_checksum(PyObject* list, Py_ssize_t covered) {
    long long sum = 0;
    for (Py_ssize_t i = 0; i < covered; ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);
        if (!PyLong_CheckExact(element)) return std::nullopt;
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(element, &overflow);
        if (overflow != 0 || value > (1L << 30) || value < -(1L << 30)) return std::nullopt;
        sum += value;
    }
    return static_cast<long>((~sum + 1) & 0xFF);
}

// (~sum(data[:-2]) + 1) & 0xFF, with Python's arithmetic on the elements.
Ref checksum_of(PyObject* data) {
    const Py_ssize_t covered = PyList_GET_SIZE(data) > 2 ? PyList_GET_SIZE(data) - 2 : 0;
    if (runtime::builtins().sum_is_builtin) {
        if (const auto fast = small_int_checksum(data, covered)) {
            return Ref::steal(PyLong_FromLong(*fast));
        }
    }
    Ref slice = Ref::steal(PyList_GetSlice(data, 0, covered));
    if (!slice) return Ref();
    Ref sum = call(runtime::builtins().sum, slice.get());
    if (!sum) return Ref();
    Ref inverted = Ref::steal(PyNumber_Invert(sum.get()));
    if (!inverted) return Ref();
    Ref negated = Ref::steal(PyNumber_Add(inverted.get(), names::byte_values[1]));
    return negated ? Ref::steal(PyNumber_And(negated.get(), names::byte_values[0xFF])) : Ref();
}

}  // namespace

// data[-2] = (~sum(data[:-2]) + 1) & 0xFF
PyObject* cal_crc(const Arguments& args) {
    Ref checksum = checksum_of(args.data);
    if (!checksum || !set_item(args.data, -2, checksum.get())) return nullptr;
    Py_RETURN_NONE;
}

// data[-2] == (~sum(data[:-2]) + 1) & 0xFF, the checksum computed first and
// the stored byte read after it (the sum may run code that changes the list).
// The comparison's own result is returned, whatever object it is.
PyObject* check_crc(const Arguments& args) {
    Ref checksum = checksum_of(args.data);
    if (!checksum) return nullptr;
    Ref stored = get_item(args.data, -2);
    if (!stored) return nullptr;
    return PyObject_RichCompare(stored.get(), checksum.get(), Py_EQ);
}

}  // namespace tolvan::protocol
