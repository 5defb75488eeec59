// Construction of Wbt_env and Wbt_env_sim: the robot tables as fresh
// instance lists, their float32 forms, the name-to-index maps, the timing,
// then the arguments, the clip and (Wbt_env) the alignment.

#include "motion_env_wbt/environment.hpp"
#include "motion_env_wbt/tables.hpp"
#include "runtime/ops.hpp"

#include <cstddef>
#include <iterator>
#include <vector>

namespace motion_env_wbt {

using namespace ts;

namespace {

template <std::size_t N>
Ref int_list(const long (&values)[N]) {
    Ref out = Ref::steal(PyList_New(N));
    for (std::size_t i = 0; i < N; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py_int(values[i]).release());
    return out;
}

template <std::size_t N>
Ref name_list(const char* const (&names)[N]) {
    Ref out = Ref::steal(PyList_New(N));
    for (std::size_t i = 0; i < N; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py_str(names[i]).release());
    return out;
}

// One column of a row table as a list: floats for double fields, str for names.
template <class Row, std::size_t N>
Ref column(const Row (&rows)[N], double Row::*field) {
    Ref out = Ref::steal(PyList_New(N));
    for (std::size_t i = 0; i < N; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py_float(rows[i].*field).release());
    return out;
}
template <class Row, std::size_t N>
Ref column(const Row (&rows)[N], const char* Row::*field) {
    Ref out = Ref::steal(PyList_New(N));
    for (std::size_t i = 0; i < N; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py_str(rows[i].*field).release());
    return out;
}

Ref zeros_list(std::size_t n) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py_float(0.0).release());
    return out;
}

// np.array(self.<source>, dtype=np.float32)
Ref float32_array(Call& c, PyObject* self, PyObject* source) {
    Ref array = attr(c.global(TS_ID("np")), TS_ID("array"));
    Ref values = attr(self, source);
    Ref float32 = attr(c.global(TS_ID("np")), TS_ID("float32"));
    return call(array, {values.get()}, {{TS_ID("dtype"), float32}});
}

// {name: i for i, name in enumerate(self.<source>)}
Ref index_map(Call& c, PyObject* self, PyObject* source) {
    Ref enumerate = c.global(TS_ID("enumerate"));
    Ref names = attr(self, source);
    Ref pairs = call(enumerate, {names.get()});
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    Ref out = Ref::steal(PyDict_New());
    while (Ref pair = Ref::steal_nullable(PyIter_Next(it.get()))) {
        std::vector<Ref> parts = unpack(pair.get(), 2);
        check_int(PyDict_SetItem(out.get(), parts[1].get(), parts[0].get()));
    }
    if (PyErr_Occurred()) raise();
    return out;
}

// [self.<map>[name] for name in self.<names>]; the map is read at every element.
Ref indices_of(PyObject* self, PyObject* names_attr, PyObject* map_attr) {
    Ref names = attr(self, names_attr);
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    Ref out = Ref::steal(PyList_New(0));
    while (Ref name = Ref::steal_nullable(PyIter_Next(it.get()))) {
        Ref map = attr(self, map_attr);
        Ref index = item(map.get(), name.get());
        check_int(PyList_Append(out.get(), index.get()));
    }
    if (PyErr_Occurred()) raise();
    return out;
}

void construct(Call& c, bool with_alignment) {
    namespace t = tables;
    using Gains = t::JointGains;
    using Limits = t::JointLimits;
    PyObject* self = c.arg(0);

    set_attr(self, TS_ID("body_index"), int_list(t::body_index));
    set_attr(self, TS_ID("motion_anchor_body_index"), int_list(t::motion_anchor_body_index));
    set_attr(self, TS_ID("robot_anchor_body_index"), int_list(t::robot_anchor_body_index));
    set_attr(self, TS_ID("action_scales"), column(t::joints_policy_order, &Gains::action_scale));
    set_attr(self, TS_ID("default_joint_pos"), column(t::joints_policy_order, &Gains::default_pos));
    set_attr(self, TS_ID("default_joint_vel"), zeros_list(std::size(t::joints_policy_order)));
    set_attr(self, TS_ID("kp"), column(t::joints_policy_order, &Gains::kp));
    set_attr(self, TS_ID("kd"), column(t::joints_policy_order, &Gains::kd));
    set_attr(self, TS_ID("effort_limit_sim"), column(t::joints_policy_order, &Gains::effort_limit));
    set_attr(self, TS_ID("action_min"), column(t::joints_model_order, &Limits::action_min));
    set_attr(self, TS_ID("action_max"), column(t::joints_model_order, &Limits::action_max));

    set_attr(self, TS_ID("action_min_a"), float32_array(c, self, TS_ID("action_min")));
    set_attr(self, TS_ID("action_max_a"), float32_array(c, self, TS_ID("action_max")));
    set_attr(self, TS_ID("kp_a"), float32_array(c, self, TS_ID("kp")));
    set_attr(self, TS_ID("kd_a"), float32_array(c, self, TS_ID("kd")));
    {
        Ref limits = float32_array(c, self, TS_ID("effort_limit_sim"));
        Ref all = slice(nullptr, nullptr);
        Ref key = tuple({Py_None, all.get()});
        set_attr(self, TS_ID("effort_limit"), item(limits.get(), key.get()));
    }

    set_attr(self, TS_ID("orig_names"), name_list(t::orig_names));
    set_attr(self, TS_ID("orig_names_e"), name_list(t::orig_names_e));
    set_attr(self, TS_ID("target_names"), name_list(t::target_names));
    set_attr(self, TS_ID("name_to_idx"), index_map(c, self, TS_ID("orig_names")));
    set_attr(self, TS_ID("name_to_idx_e"), index_map(c, self, TS_ID("orig_names_e")));
    set_attr(self, TS_ID("target_indices"),
             indices_of(self, TS_ID("target_names"), TS_ID("name_to_idx")));
    set_attr(self, TS_ID("target_indices_e"),
             indices_of(self, TS_ID("target_names"), TS_ID("name_to_idx_e")));

    set_attr(self, TS_ID("orig_names_joint"), column(t::joints_model_order, &Limits::name));
    set_attr(self, TS_ID("target_names_joint"), column(t::joints_policy_order, &Gains::name));
    set_attr(self, TS_ID("name_to_idx_joint"), index_map(c, self, TS_ID("orig_names_joint")));
    set_attr(self, TS_ID("target_indices_joint"),
             indices_of(self, TS_ID("target_names_joint"), TS_ID("name_to_idx_joint")));

    set_attr(self, TS_ID("target_names_action"), column(t::joints_model_order, &Limits::name));
    set_attr(self, TS_ID("orig_names_action"), column(t::joints_policy_order, &Gains::name));
    set_attr(self, TS_ID("name_to_idx_action"), index_map(c, self, TS_ID("orig_names_action")));
    set_attr(self, TS_ID("target_indices_action"),
             indices_of(self, TS_ID("target_names_action"), TS_ID("name_to_idx_action")));

    set_attr(self, TS_ID("sim_decimation"), py_int(t::sim_decimation));
    set_attr(self, TS_ID("sim_dt"), py_float(t::sim_dt));
    {
        Ref dt = attr(self, TS_ID("sim_dt"));
        Ref decimation = attr(self, TS_ID("sim_decimation"));
        set_attr(self, TS_ID("control_dt"), mul(dt.get(), decimation.get()));
    }

    // Stored as given: a float frame index or a path object stays what it is.
    set_attr(self, TS_ID("file"), c.arg(2));
    set_attr(self, TS_ID("current_dir"), c.arg(1));
    set_attr(self, TS_ID("time_steps"), c.arg(3));

    call_method(self, TS_ID("load_motion"), {});

    if (with_alignment) {
        Ref alignment = c.global(TS_ID("TransformAlignment"));
        set_attr(self, TS_ID("motion_init_align"),
                 call(alignment, {}, {{TS_ID("yaw_only"), Py_True}, {TS_ID("xy_only"), Py_True}}));
    }
}

}  // namespace

Ref wbt_env_init(Call& c) {
    construct(c, true);
    return none();
}

Ref wbt_env_sim_init(Call& c) {
    construct(c, false);
    return none();
}

}  // namespace motion_env_wbt
