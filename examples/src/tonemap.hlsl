// Reinhard tone mapping with exposure, then gamma.
Texture2D HdrColor : register(t0);
SamplerState PointClamp : register(s0);

static const float Exposure = 1.5;

float4 main(float2 uv : TEXCOORD0) : SV_Target {
  float3 hdr = HdrColor.Sample(PointClamp, uv).rgb * Exposure;
  float3 ldr = hdr / (1.0 + hdr);
  return float4(pow(ldr, 1.0 / 2.2), 1.0);
}
