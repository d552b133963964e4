// replaced by SplitConfigDialog
