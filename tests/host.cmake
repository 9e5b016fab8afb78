# Test sources of the host room.
