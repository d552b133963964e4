// replaced by ZoomableView and InteractiveCanvas
