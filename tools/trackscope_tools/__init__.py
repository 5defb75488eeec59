"""Tools around the trackscope module: motion readers, clip recording and
checks, the simulation loop with its controllers, rendering and reports.

Importing the package imports neither MuJoCo nor trackscope (which imports
MuJoCo): the command-line modules choose MuJoCo's OpenGL backend first.
"""
