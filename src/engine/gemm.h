#pragma once

#include <torch/torch.h>

namespace orvane::engine {

// a · bᵀ for float matrices, a [m, k] and b [n, k] -> [m, n], differentiable in both.
// The same sums as torch::matmul(a, b.t()), computed as a 1x1 convolution of m one-pixel inputs
// with n filters so that oneDNN runs it (forward and backward). LibTorch sends a float matrix
// product to the system BLAS, which on Debian is often the unoptimised reference one: several
// times slower at the shapes of mask products and mask overlaps. With m = 1 LibTorch runs the
// convolution through the BLAS after all, which is still correct.
torch::Tensor matmul_nt(const torch::Tensor& a, const torch::Tensor& b);

}  // namespace orvane::engine
