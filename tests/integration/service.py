"""The local monitoring service for test scripts, and the agent's JSON form."""
import json
import os
import sys

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                                os.pardir, "tools")))
from agent_sandbox import LocalService  # noqa: E402,F401


def dumps(obj):
    """Compact JSON with keys in byte order, as the agent writes it."""
    return json.dumps(obj, separators=(",", ":"), sort_keys=True)
