#include "engine/gemm.h"

namespace orvane::engine {

torch::Tensor onednn_conv2d(const torch::Tensor& x, const torch::Tensor& weight,
                            const torch::Tensor& bias, int64_t stride, int64_t padding,
                            int64_t groups) {
  // Only where LibTorch would choose the BLAS: elsewhere oneDNN already runs it, and with its
  // dedicated 1x1 kernels, which a dilated convolution does not get.
  const bool to_blas = weight.size(-1) == 1 && weight.size(-2) == 1 && stride == 1 &&
                       x.size(0) < 16 && at::get_num_threads() == 1 &&
                       x.scalar_type() == torch::kFloat && x.is_cpu();
  const int64_t dilation = to_blas ? 2 : 1;
  return torch::conv2d(x, weight, bias, stride, padding, dilation, groups);
}

torch::Tensor matmul_nt(const torch::Tensor& a, const torch::Tensor& b) {
  const int64_t m = a.size(0), n = b.size(0), k = a.size(1);
  TORCH_CHECK(b.size(1) == k, "matmul_nt: inner sizes differ (", k, " and ", b.size(1), ")");
  if (m == 0 || n == 0) return torch::zeros({m, n}, a.options());
  return onednn_conv2d(a.reshape({m, k, 1, 1}), b.reshape({n, k, 1, 1})).view({m, n});
}

}  // namespace orvane::engine
