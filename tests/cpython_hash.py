"""CPython's own SipHash-1-3, the reference for every value hash of larkspan."""
import os
import subprocess
import sys


def cpython_siphash13(payloads):
    """hash(bytes) of CPython 3.11 with PYTHONHASHSEED=0 is SipHash-1-3 with zero keys."""
    code = "import sys\nfor p in sys.argv[1:]: print(hash(bytes.fromhex(p)))"
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run([sys.executable, "-c", code, *[p.hex() for p in payloads]],
                         env=env, capture_output=True, text=True, check=True).stdout
    return [int(x) for x in out.split()]
