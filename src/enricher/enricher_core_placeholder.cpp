// replaced by the real core
