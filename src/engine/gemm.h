#pragma once
// Convolutions and matrix products kept on oneDNN. LibTorch picks the backend of a CPU convolution
// by rules tuned for fast BLASes, and the system BLAS on Debian is often the unoptimised reference
// one (about 1 GFLOP/s here): whatever lands there is many times slower than it need be.

#include <torch/torch.h>

namespace orvane::engine {

// torch::conv2d (square kernel, the same stride and padding in both directions), except where
// LibTorch would send a float 1x1 convolution to the BLAS: with stride 1, on one compute thread and
// fewer than 16 images, which is exactly training with threads=1 and every rank of a data-parallel
// run on a small machine (12x slower for a C2f layer's 1x1 convolutions, forward and backward).
// There the kernel gets a dilation of 2: it cannot change a single sum of a 1x1 kernel, and a
// dilated convolution always goes to oneDNN.
torch::Tensor onednn_conv2d(const torch::Tensor& x, const torch::Tensor& weight,
                            const torch::Tensor& bias = {}, int64_t stride = 1, int64_t padding = 0,
                            int64_t groups = 1);

// a · bᵀ for float matrices, a [m, k] and b [n, k] -> [m, n], differentiable in both.
// The same sums as torch::matmul(a, b.t()), computed as a 1x1 convolution of m one-pixel inputs
// with n filters so that oneDNN runs it (forward and backward): LibTorch sends a float matrix
// product to the system BLAS. With m = 1 LibTorch runs the convolution through the BLAS after all
// (tiny inputs of one image), which is still correct.
torch::Tensor matmul_nt(const torch::Tensor& a, const torch::Tensor& b);

// Batched a · b, a [g, m, k] and b [g, k, n] -> [g, m, n], differentiable in both: torch::bmm's
// sums as one grouped 1x1 convolution (g groups, m filters each, over an n-pixel image), which
// oneDNN runs; torch::bmm itself would go to the system BLAS. Any dtype (double for tests).
torch::Tensor bmm_onednn(const torch::Tensor& a, const torch::Tensor& b);

}  // namespace orvane::engine
