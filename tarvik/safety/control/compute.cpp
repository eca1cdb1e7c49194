// enforce_compute_section: the `compute` switches of the control mapping,
// each rule written once over the reader that runs it (readers.hpp).
#include "checks.hpp"

namespace tarvik {

namespace {

// A switch holds True, False or an int equal to 0 or 1: 1, 0 or -1.
template <class R>
int is_switch(R &r, const typename R::Value &value)
{
    int flag = r.is_a(value, &PyBool_Type);
    if (flag != 0) {
        return flag;
    }
    flag = r.is_a(value, &PyLong_Type);
    if (flag <= 0) {
        return flag;
    }
    // `value == 0 or value == 1`, through the value's own equality.
    flag = r.equals(value, 0);
    return flag != 0 ? flag : r.equals(value, 1);
}

// The compute section, control.get("compute").
template <class R>
bool check_section(R &r, const typename R::Value &compute)
{
    if (r.is_none(compute)) {
        return true;
    }
    if (!expect(r, r.is_a(compute, &PyDict_Type), msg::compute_not_dict)) {
        return false;
    }
    // Each switch present: in the general reader, in the iteration order of
    // their intersection with the allowed names, each value read by item
    // lookup.
    return r.each_entry(
        compute, compute_keys, msg::compute_unsupported,
        [](auto &visiting, const auto &key, const auto &value) {
            int valid = is_switch(visiting, value);
            return valid > 0 ||
                   (valid == 0 &&
                    visiting.refuse_showing(msg::compute_not_bool, key));
        });
}

template <class R>
bool check_control(R &r, PyObject *control_arg)
{
    auto control = r.value(control_arg);
    // A false `control` stands for an empty mapping, which has no compute
    // section; anything else that is not a dict is the other check's
    // complaint.
    int flag = r.truth(control);
    if (flag > 0) {
        flag = r.is_a(control, &PyDict_Type);
    }
    if (flag <= 0) {
        return flag == 0;
    }
    auto sections = r.section(top_keys);
    if (!r.read(control, &sections)) {
        return false;
    }
    auto compute = r.get(sections, top::compute);
    return compute && check_section(r, compute);
}

} // namespace

bool enforce_compute_section(const CallContext &call, PyObject *control)
{
    if (!PyDict_CheckExact(control)) {
        return decide(call, control, [](auto &r, PyObject *c) {
            return check_control(r, c);
        });
    }
    // The steps before the section, `kwargs.get("control") or {}`, a dict,
    // control.get("compute"), run no Python code for an exact dict but for
    // the key comparisons of the lookup, made here once for both readers:
    // the fast reader would otherwise read the whole control mapping, which
    // costs the usual call of this check about a third more (bench).
    PyObject *found =
        PyDict_GetItemWithError(control, top_keys.name(top::compute));
    if (!found) {
        return !PyErr_Occurred();
    }
    Ref compute = Ref::borrow(found);
    return decide(call, compute.get(), [](auto &r, PyObject *c) {
        return check_section(r, r.value(c));
    });
}

} // namespace tarvik
