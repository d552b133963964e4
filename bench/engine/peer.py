#!/usr/bin/python3
"""The peer of engine_bench: the same YOLOv8n network written in plain PyTorch (Debian's
python3-torch, the same LibTorch version), timed on the same work with the same threads.

  peer.py gemm | step [batch imgsz [detect|segment]] | infer [imgsz]

The training step here is forward + a loss of the same size over every output + backward; the
YOLOv8 assignment and box losses are cheap next to the convolutions (engine_bench prints their
share), so the comparison is of the part that dominates.
"""
import math
import os
import sys
import time

import torch
import torch.nn as nn


def best_seconds(warmup, runs, fn):
    """Best of several runs: the machine is shared, the minimum is least disturbed."""
    for _ in range(warmup):
        fn()
    t = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        t.append(time.perf_counter() - t0)
    return min(t)


class Conv(nn.Module):
    def __init__(self, c1, c2, k=1, s=1):
        super().__init__()
        self.conv = nn.Conv2d(c1, c2, k, s, k // 2, bias=False)
        self.bn = nn.BatchNorm2d(c2, eps=1e-3, momentum=0.03)
        self.act = nn.SiLU()

    def forward(self, x):
        return self.act(self.bn(self.conv(x)))

    def fuse(self):
        w = self.conv.weight
        scale = self.bn.weight / torch.sqrt(self.bn.running_var + self.bn.eps)
        conv = nn.Conv2d(self.conv.in_channels, self.conv.out_channels, self.conv.kernel_size,
                         self.conv.stride, self.conv.padding, bias=True)
        conv.weight.data = (w * scale.view(-1, 1, 1, 1)).detach()
        conv.bias.data = (self.bn.bias - self.bn.running_mean * scale).detach()
        self.conv, self.bn = conv, nn.Identity()


class Bottleneck(nn.Module):
    def __init__(self, c1, c2, shortcut):
        super().__init__()
        self.cv1, self.cv2 = Conv(c1, c2, 3), Conv(c2, c2, 3)
        self.add = shortcut and c1 == c2

    def forward(self, x):
        y = self.cv2(self.cv1(x))
        return x + y if self.add else y


class C2f(nn.Module):
    def __init__(self, c1, c2, n, shortcut):
        super().__init__()
        self.c = c2 // 2
        self.cv1 = Conv(c1, 2 * self.c, 1)
        self.cv2 = Conv((2 + n) * self.c, c2, 1)
        self.m = nn.ModuleList(Bottleneck(self.c, self.c, shortcut) for _ in range(n))

    def forward(self, x):
        y = list(self.cv1(x).chunk(2, 1))
        y.extend(m(y[-1]) for m in self.m)
        return self.cv2(torch.cat(y, 1))


class SPPF(nn.Module):
    def __init__(self, c1, c2):
        super().__init__()
        c = c1 // 2
        self.cv1, self.cv2 = Conv(c1, c, 1), Conv(c * 4, c2, 1)
        self.m = nn.MaxPool2d(5, 1, 2)

    def forward(self, x):
        x = self.cv1(x)
        y1 = self.m(x)
        y2 = self.m(y1)
        return self.cv2(torch.cat((x, y1, y2, self.m(y2)), 1))


class Proto(nn.Module):
    def __init__(self, c1, c, c2):
        super().__init__()
        self.cv1 = Conv(c1, c, 3)
        self.upsample = nn.ConvTranspose2d(c, c, 2, 2, 0, bias=True)
        self.cv2, self.cv3 = Conv(c, c, 3), Conv(c, c2, 1)

    def forward(self, x):
        return self.cv3(self.cv2(self.upsample(self.cv1(x))))


class YOLOv8n(nn.Module):
    def __init__(self, nc=80, w=0.25, d=0.33, segment=False):
        super().__init__()
        ch = lambda c: int(math.ceil(c * w / 8) * 8)
        dp = lambda n: max(round(n * d), 1)
        c64, c128, c256, c512, c1024 = ch(64), ch(128), ch(256), ch(512), ch(1024)
        self.b = nn.ModuleList([
            Conv(3, c64, 3, 2), Conv(c64, c128, 3, 2), C2f(c128, c128, dp(3), True),
            Conv(c128, c256, 3, 2), C2f(c256, c256, dp(6), True), Conv(c256, c512, 3, 2),
            C2f(c512, c512, dp(6), True), Conv(c512, c1024, 3, 2), C2f(c1024, c1024, dp(3), True),
            SPPF(c1024, c1024)])
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.h12 = C2f(c1024 + c512, c512, dp(3), False)
        self.h15 = C2f(c512 + c256, c256, dp(3), False)
        self.h16 = Conv(c256, c256, 3, 2)
        self.h18 = C2f(c256 + c512, c512, dp(3), False)
        self.h19 = Conv(c512, c512, 3, 2)
        self.h21 = C2f(c512 + c1024, c1024, dp(3), False)
        chs = (c256, c512, c1024)
        c2, c3 = max(16, chs[0] // 4, 64), max(chs[0], min(nc, 100))
        self.cv2 = nn.ModuleList(nn.Sequential(Conv(x, c2, 3), Conv(c2, c2, 3), nn.Conv2d(c2, 64, 1)) for x in chs)
        self.cv3 = nn.ModuleList(nn.Sequential(Conv(x, c3, 3), Conv(c3, c3, 3), nn.Conv2d(c3, nc, 1)) for x in chs)
        self.nc = nc
        self.segment = segment
        if segment:
            c4 = max(chs[0] // 4, 32)
            self.proto = Proto(chs[0], c256, 32)  # 256 prototype channels, scaled by width
            self.cv4 = nn.ModuleList(nn.Sequential(Conv(x, c4, 3), Conv(c4, c4, 3), nn.Conv2d(c4, 32, 1)) for x in chs)

    def forward(self, x):
        b = self.b
        x = b[2](b[1](b[0](x)))
        p3 = b[4](b[3](x))
        p4 = b[6](b[5](p3))
        p5 = b[9](b[8](b[7](p4)))
        h12 = self.h12(torch.cat((self.up(p5), p4), 1))
        o3 = self.h15(torch.cat((self.up(h12), p3), 1))
        o4 = self.h18(torch.cat((self.h16(o3), h12), 1))
        o5 = self.h21(torch.cat((self.h19(o4), p5), 1))
        feats = [torch.cat((self.cv2[i](o), self.cv3[i](o)), 1) for i, o in enumerate((o3, o4, o5))]
        if self.segment:
            bs = o3.shape[0]
            coef = torch.cat([self.cv4[i](o).view(bs, 32, -1) for i, o in enumerate((o3, o4, o5))], 2)
            return feats + [coef, self.proto(o3)]
        return feats

    def decode(self, feats):
        bs = feats[0].shape[0]
        x = torch.cat([f.view(bs, 64 + self.nc, -1) for f in feats], 2)
        box, cls = x.split((64, self.nc), 1)
        a = box.shape[2]
        dist = box.view(bs, 4, 16, a).softmax(2).mul(torch.arange(16.0).view(1, 1, 16, 1)).sum(2)
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

    def fuse(self):
        for m in self.modules():
            if isinstance(m, Conv):
                m.fuse()
        return self


def main():
    torch.set_num_threads(int(os.environ.get("ORVANE_THREADS", os.cpu_count())))
    torch.manual_seed(0)
    mode = sys.argv[1] if len(sys.argv) > 1 else "all"
    print("threads", torch.get_num_threads())
    if mode in ("gemm", "all"):
        n = 1024
        a, b = torch.rand(n, n), torch.rand(n, n)
        s = best_seconds(1, 5, lambda: torch.mm(a, b))
        print(f"gemm_blas_gflops {2 * n ** 3 / s / 1e9:.1f}")
        x, w = torch.rand(1, 512, 64, 64), torch.rand(512, 512, 1, 1)
        with torch.no_grad():
            s = best_seconds(2, 9, lambda: torch.conv2d(x, w))
        print(f"gemm_onednn_gflops {2 * 64 * 64 * 512 * 512 / s / 1e9:.1f}")
    if mode in ("step", "all"):
        batch = int(sys.argv[2]) if mode == "step" and len(sys.argv) > 2 else 8
        imgsz = int(sys.argv[3]) if mode == "step" and len(sys.argv) > 3 else 320
        segment = mode == "step" and len(sys.argv) > 4 and sys.argv[4] == "segment"
        model = YOLOv8n(segment=segment).train()
        x = torch.rand(batch, 3, imgsz, imgsz)

        def step():
            model.zero_grad()
            feats = model(x)
            loss = sum(f.float().pow(2).mean() for f in feats)
            loss.backward()

        if os.environ.get("ORVANE_TRACE"):
            with torch.autograd.profiler.profile() as prof:
                for _ in range(5):
                    step()
            prof.export_chrome_trace(os.environ["ORVANE_TRACE"])
        kind = ", segment" if segment else ""
        print(f"train_step_s {best_seconds(2, 9, step):.4f} (batch {batch}, {imgsz} px{kind})")
    if mode in ("infer", "all"):
        imgsz = int(sys.argv[2]) if mode == "infer" and len(sys.argv) > 2 else 640
        model = YOLOv8n().eval().fuse()
        x = torch.rand(1, 3, imgsz, imgsz)
        with torch.inference_mode():
            s = best_seconds(3, 15, lambda: model.decode(model(x)))
        print(f"inference_ms {s * 1000:.2f} ({imgsz} px, fused)")


if __name__ == "__main__":
    main()
