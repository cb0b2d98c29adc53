"""The published products of a run: the finished result, the velocity variables, the stable-ground
shift, strain rates and the inversion of a stack's velocities to regular time steps."""
