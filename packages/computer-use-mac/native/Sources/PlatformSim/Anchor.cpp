// Anchor so the library exists before its first backend lands.
