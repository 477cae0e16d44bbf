"""Type information for the native module `_quor_pp`."""

from collections.abc import Buffer, Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

__all__: list[str]

#: Any sequence of numbers (list, tuple, range, array.array, a 1-D NumPy array) or a
#: float buffer; the module copies it into a new array of doubles.
FloatArray: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer
Float: TypeAlias = SupportsFloat | SupportsIndex
Count: TypeAlias = SupportsIndex


def parse_quor_file(path: str) -> dict[str, list[float]]: ...
def parse_thermoprop(path: str) -> dict[str, list[float]]: ...
def parse_volume_density(path: str) -> float: ...
def parse_bond_angle(path: str) -> dict[str, list[float]]: ...
def read_group_count(log_path: str, group_name: str) -> int: ...
def local_maximum_finder(data: FloatArray, search_start: Count, neighbor_count: Count) -> int: ...
def repacking_results(d_array: FloatArray) -> tuple[float, float, int]: ...
def diff_calculator(
    time: FloatArray,
    msd_in: FloatArray,
    margin: Float,
    min_window: Count,
    max_window: Count,
    max_error: Float,
    min_displacement: Float,
) -> tuple[float, list[float], list[float]]: ...
def laliberte_density(
    temperature: FloatArray,
    molality: FloatArray,
    molecular_weight: Float,
    c0: Float,
    c1: Float,
    c2: Float,
    c3: Float,
    c4: Float,
) -> tuple[list[float], list[float]]: ...
def laliberte_viscosity(
    temperature: FloatArray,
    molality: FloatArray,
    molecular_weight: Float,
    v1: Float,
    v2: Float,
    v3: Float,
    v4: Float,
    v5: Float,
    v6: Float,
) -> list[float]: ...
def mass_fraction_to_molality(mass_fraction: FloatArray, molecular_weight: Float) -> list[float]: ...
def molality_to_mass_fraction(molality: FloatArray, molecular_weight: Float) -> list[float]: ...
def mole_fraction_to_molality(mole_fraction: FloatArray, molecular_weight: Float) -> list[float]: ...
def molality_to_mole_fraction(molality: FloatArray, molecular_weight: Float) -> list[float]: ...
def dewane_eval(molarity: FloatArray, limits: FloatArray, coeffs: FloatArray) -> list[float]: ...
def koh_gilliam_eval(
    temperature: FloatArray,
    molality: FloatArray,
    molecular_weight: Float,
    c0: Float,
    c1: Float,
    c2: Float,
    c3: Float,
    c4: Float,
) -> list[float]: ...
def molarity_to_molality(
    molarity: FloatArray,
    temperature: Float,
    molecular_weight: Float,
    c0: Float,
    c1: Float,
    c2: Float,
    c3: Float,
    c4: Float,
    tolerance: Float,
    maximum_iterations: Count,
) -> list[float]: ...
def tau_calculator(
    experimental_conductivity: Float,
    md_conductivity: Float,
    temperature: Float,
    box_length: Float,
    particle_count: Float,
    hop_distance: Float,
) -> float: ...
def diffusion_adjustment(time_between_hops: Float, hop_distance: Float) -> float: ...
