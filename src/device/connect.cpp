// Filled in by the device work.
