// replaced by the charts
