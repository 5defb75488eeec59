#include "math_transfrom/functions.hpp"

namespace math_transfrom {

Ref euler_from_quaternion(Call&) { ts::raise(PyExc_NotImplementedError, "euler_from_quaternion"); }
Ref quatToEuler(Call&) { ts::raise(PyExc_NotImplementedError, "quatToEuler"); }
Ref imu_quat_to_euler(Call&) { ts::raise(PyExc_NotImplementedError, "imu_quat_to_euler"); }
Ref matrix_from_quat(Call&) { ts::raise(PyExc_NotImplementedError, "matrix_from_quat"); }
Ref matrix_from_quat_r(Call&) { ts::raise(PyExc_NotImplementedError, "matrix_from_quat_r"); }

}  // namespace math_transfrom
