// Reading a reply: `buf` of the driver's algorithms.
//
// A real port returns bytes, which are read in place: every item is an int
// from 0 to 255 and no Python code can run, so C arithmetic gives Python's
// results. Anything else (a port stand-in's list, an override of __read) is
// made into list(reply) and read with Python's own indexing, comparison and
// arithmetic. Its items may run code that changes the list, so each one is
// read as an owned reference, with the size read anew, after the code ran.
//
// Each rule that reads a reply (the framing test, each command's decoding)
// is written once, as a template over these two kinds of reply, in the order
// the Python statement of the rule evaluates, and uses only what both offer.
#pragma once

#include "common/calls.h"
#include "common/names.h"

#include <optional>

// The decoding runs in a frame of its own, after the exchange has returned:
// its locals are not on the stack while the exchange calls out into port code,
// which may call back into the driver many levels deep.
#if defined(_MSC_VER)
#define TOLVAN_OWN_FRAME __declspec(noinline)
#else
#define TOLVAN_OWN_FRAME __attribute__((noinline))
#endif

namespace tolvan::link {

class BytesReply {
public:
    // A C value; empty once an exception is set (only IndexError can be).
    using Value = std::optional<long>;

    explicit BytesReply(PyObject* bytes) noexcept
        : data_(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes))), size_(PyBytes_GET_SIZE(bytes)) {}

    Py_ssize_t size() const noexcept { return size_; }

    // buf[index], counting from the end when negative.
    Value item(Py_ssize_t index) const {
        const Py_ssize_t position = index < 0 ? index + size_ : index;
        if (position < 0 || position >= size_) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return std::nullopt;
        }
        return data_[position];
    }

    static Value number(long value) { return value; }
    static Value add(const Value& left, const Value& right) { return *left + *right; }
    static Value multiply(const Value& left, const Value& right) { return *left * *right; }
    static Value shift_left(const Value& value, const Value& bits) { return *value << *bits; }
    static int less(Py_ssize_t left, const Value& right) { return left < *right; }
    static int equals(const Value& left, long right) { return *left == right; }
    // How many times `for i in range(count)` runs.
    static std::optional<Py_ssize_t> passes(const Value& count) { return *count < 0 ? 0 : *count; }
    // [0] * count, to be filled by store().
    static Ref zeros(const Value& count) { return Ref::steal(PyList_New(*count < 0 ? 0 : *count)); }
    // target[index] = value, on a list that zeros() made.
    static bool store(PyObject* target, Py_ssize_t index, const Value& value);

private:
    const unsigned char* data_;
    Py_ssize_t size_;
};

class ListReply {
public:
    // A new reference; null once an exception is set.
    using Value = Ref;

    explicit ListReply(PyObject* list) noexcept : list_(list) {}

    Py_ssize_t size() const noexcept { return PyList_GET_SIZE(list_); }

    Value item(Py_ssize_t index) const { return get_item(list_, index); }

    static Value number(long value) { return Ref::steal(PyLong_FromLong(value)); }
    static Value add(const Value& left, const Value& right) {
        return Ref::steal(PyNumber_Add(left.get(), right.get()));
    }
    static Value multiply(const Value& left, const Value& right) {
        return Ref::steal(PyNumber_Multiply(left.get(), right.get()));
    }
    static Value shift_left(const Value& value, const Value& bits) {
        return Ref::steal(PyNumber_Lshift(value.get(), bits.get()));
    }
    static int less(Py_ssize_t left, const Value& right) {
        Ref size = Ref::steal(PyLong_FromSsize_t(left));
        Ref result = size ? Ref::steal(PyObject_RichCompare(size.get(), right.get(), Py_LT)) : Ref();
        return result ? PyObject_IsTrue(result.get()) : -1;
    }
    static int equals(const Value& left, long right) {
        Ref expected = number(right);
        return expected ? tolvan::equals(left.get(), expected.get()) : -1;
    }
    static std::optional<Py_ssize_t> passes(const Value& count) {
        Ref index = Ref::steal(PyNumber_Index(count.get()));  // an exact int
        if (!index) return std::nullopt;
        const Py_ssize_t passes = PyLong_AsSsize_t(index.get());
        if (passes != -1 || !PyErr_Occurred()) return passes < 0 ? 0 : passes;
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        // Beyond any list: the loop ends at the first item it cannot read.
        PyErr_Clear();
        const int negative = PyObject_RichCompareBool(index.get(), names::zero, Py_LT);
        if (negative < 0) return std::nullopt;
        return negative ? 0 : PY_SSIZE_T_MAX;
    }
    static Ref zeros(const Value& count) {
        Ref zero_list = Ref::steal(PyList_New(1));
        if (!zero_list) return Ref();
        PyList_SET_ITEM(zero_list.get(), 0, Py_NewRef(names::zero));
        return Ref::steal(PyNumber_Multiply(zero_list.get(), count.get()));
    }
    static bool store(PyObject* target, Py_ssize_t index, const Value& value) {
        return set_item(target, index, value.get());
    }

private:
    PyObject* list_;
};

inline constexpr long start_byte = 0x7B;
inline constexpr long end_byte = 0x7D;

// The framing test: buf is not empty, buf[0] == 0x7B and buf[-1] == 0x7D,
// tested in this order. 1 or 0; -1 with an exception set.
template <typename Reply>
int is_framed(const Reply& buf) {
    if (buf.size() == 0) return 0;
    const auto first = buf.item(0);
    if (!first) return -1;
    const int opened = Reply::equals(first, start_byte);
    if (opened <= 0) return opened;
    const auto last = buf.item(-1);
    if (!last) return -1;
    return Reply::equals(last, end_byte);
}

// buf[offset] + (buf[offset + 1] << 8): an unsigned 16-bit field, low byte first.
template <typename Reply>
typename Reply::Value u16_at(const Reply& buf, Py_ssize_t offset) {
    const auto low = buf.item(offset);
    if (!low) return {};
    const auto high = buf.item(offset + 1);
    if (!high) return {};
    const auto eight = Reply::number(8);
    if (!eight) return {};
    const auto shifted = Reply::shift_left(high, eight);
    if (!shifted) return {};
    return Reply::add(low, shifted);
}

// A value read from either kind of reply, as a Python object.
inline Ref as_object(const BytesReply::Value& value) {
    return *value >= 0 && *value < 256 ? Ref::borrow(names::byte_values[*value]) : Ref::steal(PyLong_FromLong(*value));
}
inline Ref as_object(const ListReply::Value& value) { return Ref::borrow(value.get()); }

inline bool BytesReply::store(PyObject* target, Py_ssize_t index, const Value& value) {
    Ref number = as_object(value);
    return number && PyList_SetItem(target, index, number.release()) == 0;
}

// result[key] = value, for a value just read or computed (empty when that
// raised).
template <typename Value>
bool store_value(PyObject* result, PyObject* key, const Value& value) {
    if (!value) return false;
    Ref object = as_object(value);
    return object && PyDict_SetItem(result, key, object.get()) == 0;
}

// Runs `rule` on the reply `buf` that a truthy result of __read makes: in
// place for exact bytes, else on list(reply).
template <typename Rule>
Ref with_reply(PyObject* reply, Rule&& rule) {
    if (PyBytes_CheckExact(reply)) return rule(BytesReply(reply));
    Ref list = Ref::steal(PySequence_List(reply));
    return list ? rule(ListReply(list.get())) : Ref();
}

// A query's result from what the exchange returned: decode(buf) when a reply
// arrived and passed the framing test, else None.
template <typename Decode>
TOLVAN_OWN_FRAME Ref decode_framed(const Ref& reply, Decode&& decode) {
    if (!reply) return Ref();
    if (reply.get() == Py_None) return Ref::none();
    return with_reply(reply.get(), [&](const auto& buf) {
        const int framed = is_framed(buf);
        if (framed <= 0) return framed < 0 ? Ref() : Ref::none();
        return decode(buf);
    });
}

// An action's result from what the exchange returned: True when a reply
// arrived and passed the framing test, else False.
TOLVAN_OWN_FRAME inline PyObject* action_result(const Ref& reply) {
    if (!reply) return nullptr;
    if (reply.get() == Py_None) Py_RETURN_FALSE;
    return with_reply(reply.get(), [](const auto& buf) {
               const int framed = is_framed(buf);
               return framed < 0 ? Ref() : Ref::borrow(framed ? Py_True : Py_False);
           })
        .release();
}

}  // namespace tolvan::link
