"""Native general-purpose data structures: attribute dicts, configuration store, path flattening, weak-reference list, logic expressions, tree printing, class-level properties."""
