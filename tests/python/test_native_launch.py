"""An exported kernel launched the way a native caller launches it: cudaLaunchKernel
with the launch function's address, here through ctypes on the host execution
layer's build of the library.

The launch runs in a child process: libvarekpt_hostcuda.so registers the same
operators as the libvarekpt.so that this test session has loaded.
"""
import ctypes
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


class Dim3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_uint), ("y", ctypes.c_uint), ("z", ctypes.c_uint)]


def launch_varek_set(library_path):
    """VarekSet<float> with value 0.5 on a 2 x 3 matrix, one block per row."""
    library = ctypes.CDLL(library_path)
    launch = library.cudaLaunchKernel
    launch.restype = ctypes.c_int
    launch.argtypes = [ctypes.c_void_p, Dim3, Dim3, ctypes.POINTER(ctypes.c_void_p),
                       ctypes.c_size_t, ctypes.c_void_p]
    # The launch function VarekSet<float>(float, int, int, float*) by its mangled name.
    kernel = ctypes.cast(getattr(library, "_Z8VarekSetIfEvT_iiPS0_"), ctypes.c_void_p)

    matrix = (ctypes.c_float * 6)()
    value, rows, cols = ctypes.c_float(0.5), ctypes.c_int(2), ctypes.c_int(3)
    pointer = ctypes.cast(matrix, ctypes.c_void_p)
    args = (ctypes.c_void_p * 4)(*(ctypes.cast(ctypes.byref(a), ctypes.c_void_p)
                                   for a in (value, rows, cols, pointer)))
    error = launch(kernel, Dim3(2, 1, 1), Dim3(4, 1, 1), args, 0, None)
    return error, list(matrix)


def test_cuda_launch_kernel_runs_an_exported_kernel():
    library = os.environ.get("VAREKPT_HOSTCUDA_LIBRARY",
                             str(ROOT / "build" / "libvarekpt_hostcuda.so"))
    child = subprocess.run([sys.executable, __file__, library], capture_output=True, text=True,
                           check=False)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["0", "0.5", "1.5", "2.5", "3.5", "4.5", "5.5"]


if __name__ == "__main__":
    error, values = launch_varek_set(sys.argv[1])
    print(error, *values)
