"""One function that stacks the tasks' costs and the limits' constraints
into a `qpsolvers.Problem` and solves it."""

import time

import numpy as np
import qpsolvers

DEFAULT_SOLVER = "daqp"


def build_problem(state, tasks, limits):
    n = state.layout.n
    P = np.zeros((n, n))
    q = np.zeros(n)
    for task in tasks:
        term = task.cost(state)
        if term is None:
            continue
        a, b, w = term
        if a.ndim == 1:
            P[np.diag_indices(len(a))] += w * a
            q[:len(a)] -= w * a * b
            continue
        k = a.shape[1]
        P[:k, :k] += w * (a.T @ a)
        q[:k] -= w * (a.T @ b)
    eq = [c for c in (lim.equalities(state) for lim in limits) if c is not None]
    ineq = [c for c in (lim.inequalities(state) for lim in limits) if c is not None]
    lower, upper = np.full(n, -np.inf), np.full(n, np.inf)
    for lim in limits:
        lim.bounds(state, lower, upper)
    stack = lambda parts, i: np.concatenate([p[i] for p in parts]) if parts else None  # noqa: E731
    return qpsolvers.Problem(P, q, stack(ineq, 0), stack(ineq, 1), stack(eq, 0), stack(eq, 1),
                             np.where(np.isfinite(lower), lower, -1e20),
                             np.where(np.isfinite(upper), upper, 1e20))


def solve(state, tasks, limits, solver=DEFAULT_SOLVER, **options):
    """(x or None, solve wall time in s). None when the solver finds no
    solution (an infeasible step is reported, not papered over)."""
    problem = build_problem(state, tasks, limits)
    start = time.perf_counter()
    solution = qpsolvers.solve_problem(problem, solver=solver, **options)
    elapsed = time.perf_counter() - start
    x = solution.x if solution.found else None
    return x, elapsed
