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

torch::Tensor bmm_onednn(const torch::Tensor& a, const torch::Tensor& b) {
  TORCH_CHECK(a.dim() == 3 && b.dim() == 3 && a.size(0) == b.size(0) && a.size(2) == b.size(1),
              "bmm_onednn: shapes ", a.sizes(), " and ", b.sizes(), " do not multiply");
  const int64_t g = a.size(0), m = a.size(1), k = a.size(2), n = b.size(2);
  if (g == 0 || m == 0 || n == 0) return torch::zeros({g, m, n}, a.options());
  auto weight = a.reshape({g * m, k, 1, 1});
  auto image = b.reshape({1, g * k, n, 1});
  return onednn_conv2d(image, weight, {}, 1, 0, g).view({g, m, n});
}

}  // namespace orvane::engine
