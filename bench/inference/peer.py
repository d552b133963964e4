#!/usr/bin/python3
"""The peer of inference_bench: end-to-end prediction of one photo written with Debian's
python3-torch and python3-opencv the way the YOLO ecosystem's predictor does it: read, letterbox
(minimal padding), fused network, decode, NMS, masks and their outlines, plot.

  peer.py MODEL_DIR IMAGE [runs]

The weights are those of MODEL_DIR/best.torchscript (the fused convolutions of our export), read
as plain tensors: the network itself is written out below with torch.nn.functional, as a fused
YOLOv8 runs, so both sides compute the same thing from the same numbers.
"""
import json
import os
import sys
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F


class Net:
    def __init__(self, path):
        files = {"config.txt": ""}
        m = torch.jit.load(path, _extra_files=files)
        self.cfg = json.loads(files["config.txt"])
        self.w = {k: v.detach() for k, v in m.named_parameters()}
        self.nc = len(self.cfg["names"])
        self.segment = self.cfg["task"] == "segment"

    def conv(self, x, k, s=1):
        w = self.w[k + "_conv_weight"]
        return F.silu(F.conv2d(x, w, self.w[k + "_conv_bias"], s, w.shape[2] // 2), inplace=True)

    def c2f(self, x, k, shortcut):
        y = list(self.conv(x, k + "_cv1").chunk(2, 1))
        i = 0
        while k + f"_m_{i}_cv1_conv_weight" in self.w:
            b = self.conv(self.conv(y[-1], k + f"_m_{i}_cv1"), k + f"_m_{i}_cv2")
            y.append(y[-1] + b if shortcut else b)
            i += 1
        return self.conv(torch.cat(y, 1), k + "_cv2")

    def sppf(self, x, k):
        x = self.conv(x, k + "_cv1")
        y1 = F.max_pool2d(x, 5, 1, 2)
        y2 = F.max_pool2d(y1, 5, 1, 2)
        return self.conv(torch.cat((x, y1, y2, F.max_pool2d(y2, 5, 1, 2)), 1), k + "_cv2")

    def branch(self, x, k):
        y = self.conv(self.conv(x, k + "_0"), k + "_1")
        return F.conv2d(y, self.w[k + "_2_weight"], self.w[k + "_2_bias"])

    def forward(self, x):
        up = lambda t: F.interpolate(t, scale_factor=2.0, mode="nearest")
        c = self.conv
        y = self.c2f(c(c(x, "model_0", 2), "model_1", 2), "model_2", True)
        p3 = self.c2f(c(y, "model_3", 2), "model_4", True)
        p4 = self.c2f(c(p3, "model_5", 2), "model_6", True)
        p5 = self.sppf(self.c2f(c(p4, "model_7", 2), "model_8", True), "model_9")
        h12 = self.c2f(torch.cat((up(p5), p4), 1), "model_12", False)
        o3 = self.c2f(torch.cat((up(h12), p3), 1), "model_15", False)
        o4 = self.c2f(torch.cat((c(o3, "model_16", 2), h12), 1), "model_18", False)
        o5 = self.c2f(torch.cat((c(o4, "model_19", 2), p5), 1), "model_21", False)
        feats = [torch.cat((self.branch(o, f"model_22_cv2_{i}"), self.branch(o, f"model_22_cv3_{i}")), 1)
                 for i, o in enumerate((o3, o4, o5))]
        pred = self.decode(feats)
        if not self.segment:
            return pred, None
        mc = torch.cat([self.branch(o, f"model_22_cv4_{i}").flatten(2) for i, o in enumerate((o3, o4, o5))], 2)
        p = c(o3, "model_22_proto_cv1")
        p = F.conv_transpose2d(p, self.w["model_22_proto_upsample_weight"],
                               self.w["model_22_proto_upsample_bias"], 2)
        p = c(c(p, "model_22_proto_cv2"), "model_22_proto_cv3")
        return torch.cat((pred, mc), 1), p

    def decode(self, feats):
        x = torch.cat([f.flatten(2) for f in feats], 2)
        box, cls = x.split((64, self.nc), 1)
        a = box.shape[2]
        dist = box.view(1, 4, 16, a).softmax(2).mul(torch.arange(16.0).view(1, 1, 16, 1)).sum(2)
        anchors, strides = [], []
        for f, s in zip(feats, (8, 16, 32)):
            h, w = f.shape[2:]
            sy, sx = torch.meshgrid(torch.arange(h) + 0.5, torch.arange(w) + 0.5, indexing="ij")
            anchors.append(torch.stack((sx, sy), -1).view(-1, 2))
            strides.append(torch.full((h * w, 1), float(s)))
        anc = torch.cat(anchors).t().unsqueeze(0)
        st = torch.cat(strides).t().unsqueeze(0)
        x1y1, x2y2 = anc - dist[:, :2], anc + dist[:, 2:]
        return torch.cat((torch.cat(((x1y1 + x2y2) / 2, x2y2 - x1y1), 1) * st, cls.sigmoid()), 1)


def letterbox(im, size=640, stride=32):
    h, w = im.shape[:2]
    r = min(size / h, size / w)
    nw, nh = int(round(w * r)), int(round(h * r))
    dw, dh = (size - nw) % stride / 2, (size - nh) % stride / 2
    if (w, h) != (nw, nh):
        im = cv2.resize(im, (nw, nh), interpolation=cv2.INTER_LINEAR)
    top, bottom = int(round(dh - 0.1)), int(round(dh + 0.1))
    left, right = int(round(dw - 0.1)), int(round(dw + 0.1))
    im = cv2.copyMakeBorder(im, top, bottom, left, right, cv2.BORDER_CONSTANT, value=(114, 114, 114))
    return im, r, (left, top)


def nms(pred, nc, conf=0.25, iou=0.7, max_det=300):
    p = pred[0].t()  # [A, 4 + nc (+32)]
    scores, cls = p[:, 4:4 + nc].max(1)
    keep = scores > conf
    p, scores, cls = p[keep], scores[keep], cls[keep]
    xy, wh = p[:, :2], p[:, 2:4]
    boxes = torch.cat((xy - wh / 2, xy + wh / 2), 1)
    if len(boxes) == 0:
        return torch.zeros((0, 6 + p.shape[1] - 4 - nc))
    # Class-offset boxes: one NMS over all classes that never suppresses across classes.
    off = boxes + cls[:, None].float() * 7680
    xywh = torch.cat((off[:, :2], off[:, 2:] - off[:, :2]), 1)
    idx = cv2.dnn.NMSBoxes(xywh.tolist(), scores.tolist(), conf, iou)
    idx = torch.as_tensor(np.array(idx).reshape(-1), dtype=torch.long)[:max_det]
    return torch.cat((boxes[idx], scores[idx, None], cls[idx, None].float(), p[idx, 4 + nc:]), 1)


def process_mask(proto, coef, boxes, shape):
    c, mh, mw = proto.shape
    masks = (coef @ proto.view(c, -1)).sigmoid().view(-1, mh, mw)
    h, w = shape
    b = boxes * torch.tensor([mw / w, mh / h, mw / w, mh / h])
    x1, y1, x2, y2 = torch.chunk(b[:, :, None], 4, 1)
    r = torch.arange(mw)[None, None, :]
    cc = torch.arange(mh)[None, :, None]
    masks = masks * ((r >= x1) * (r < x2) * (cc >= y1) * (cc < y2))
    masks = F.interpolate(masks[None], shape, mode="bilinear", align_corners=False)[0]
    return masks.gt_(0.5)


def predict_and_plot(net, path):
    im0 = cv2.imread(path)
    im, r, (px, py) = letterbox(im0)
    x = torch.from_numpy(np.ascontiguousarray(im[..., ::-1].transpose(2, 0, 1))).unsqueeze(0).float().div_(255)
    with torch.inference_mode():
        pred, proto = net.forward(x)
        det = nms(pred, net.nc)
        masks = None
        if proto is not None and len(det):
            masks = process_mask(proto[0], det[:, 6:], det[:, :4], im.shape[:2])
    boxes = det[:, :4].clone()
    boxes[:, [0, 2]] = ((boxes[:, [0, 2]] - px) / r).clamp(0, im0.shape[1])
    boxes[:, [1, 3]] = ((boxes[:, [1, 3]] - py) / r).clamp(0, im0.shape[0])
    out = im0.copy()
    lw = max(round(sum(im0.shape[:2]) / 2 * 0.003), 2)
    if masks is not None:
        h, w = im.shape[:2]
        ih, iw = int(round(im0.shape[0] * r)), int(round(im0.shape[1] * r))
        for k, m in enumerate(masks):
            inner = m[py:py + ih, px:px + iw].to(torch.uint8).numpy()
            contours, _ = cv2.findContours(inner.copy(), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
            full = cv2.resize(inner * 255, (im0.shape[1], im0.shape[0])) > 127
            color = np.array(((int(det[k, 5]) * 47) % 255, 120, 200), dtype=np.float32)
            out[full] = (out[full] * 0.5 + color * 0.5).astype(np.uint8)
    for b, s, c in zip(boxes.tolist(), det[:, 4].tolist(), det[:, 5].tolist()):
        p1, p2 = (int(b[0]), int(b[1])), (int(b[2]), int(b[3]))
        cv2.rectangle(out, p1, p2, (56, 56, 255), lw, cv2.LINE_AA)
        label = f"{net.cfg['names'][str(int(c))]} {s:.2f}"
        tw, th = cv2.getTextSize(label, 0, lw / 3, max(lw - 1, 1))[0]
        cv2.rectangle(out, p1, (p1[0] + tw, p1[1] - th - 3), (56, 56, 255), -1, cv2.LINE_AA)
        cv2.putText(out, label, (p1[0], p1[1] - 2), 0, lw / 3, (255, 255, 255), max(lw - 1, 1), cv2.LINE_AA)
    return out, len(det)


def main():
    torch.set_num_threads(int(os.environ.get("ORVANE_THREADS", os.cpu_count())))
    model_dir, image = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    net = Net(os.path.join(model_dir, "best.torchscript"))
    best, n = 1e9, 0
    for i in range(runs + 3):
        t0 = time.perf_counter()
        out, n = predict_and_plot(net, image)
        t = time.perf_counter() - t0
        if i >= 3:
            best = min(best, t)
    print(f"e2e_ms {best * 1000:.2f} {n}")


if __name__ == "__main__":
    main()
