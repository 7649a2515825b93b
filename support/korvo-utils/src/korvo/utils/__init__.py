"""Small helpers shared by korvo packages (local stand-in distribution)."""
