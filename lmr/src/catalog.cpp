// Implemented in its own change; empty until then.
