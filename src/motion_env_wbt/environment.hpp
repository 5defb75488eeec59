// Bodies of the members of Wbt_env and Wbt_env_sim, one per table row of
// module.cpp.  Parameter 0 of every body is the instance.
#pragma once

#include "runtime/function.hpp"

namespace motion_env_wbt {

using ts::Call;
using ts::Ref;

// construction and clip loading
Ref wbt_env_init(Call& c);
Ref wbt_env_sim_init(Call& c);
Ref load_motion(Call& c);

// frame lookups (views into the clip) and the joint command
Ref command(Call& c);
Ref joint_pos(Call& c);
Ref joint_vel(Call& c);
Ref body_pos_w(Call& c);
Ref body_quat_w(Call& c);
Ref body_lin_vel_w(Call& c);
Ref body_ang_vel_w(Call& c);

// anchor body: raw rows (both classes) and the aligned pose of Wbt_env
Ref anchor_pos_w_raw(Call& c);
Ref anchor_quat_w_raw(Call& c);
Ref anchor_lim_vel_w(Call& c);
Ref anchor_ang_vel_w(Call& c);
Ref anchor_pos_w_aligned(Call& c);
Ref anchor_quat_w_aligned(Call& c);

// stepping
Ref update_time_steps(Call& c);
Ref reset(Call& c);

}  // namespace motion_env_wbt
