# Test sources of the fieldmap room.
