# Test sources of the io room.
