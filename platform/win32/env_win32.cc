// STUB: the Win32 backend is not built yet.
