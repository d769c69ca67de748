// Anchor for the interfaces library; the interfaces themselves are headers.
