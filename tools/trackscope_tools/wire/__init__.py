"""The wire: the robot's low-level messages over Cyclone DDS.

`types` holds the message types (for `cyclonedds`), `crc` the messages'
CRC-32, `codec` the fast encoders and decoders between messages and the
robot boundary's `RobotState` / `MotorCommand`, and `dds` the transport
(`Link`). Only `dds` and `types` need `cyclonedds`.
"""
