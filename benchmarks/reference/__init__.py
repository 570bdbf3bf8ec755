"""Pure-Python versions of valkin's operations, written from the documented
contract, used only as the yardstick of the benchmarks."""
