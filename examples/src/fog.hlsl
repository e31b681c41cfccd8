// Exponential distance fog.
cbuffer FogParams : register(b0) {
  float3 FogColor;
  float FogDensity;
};

float3 applyFog(float3 color, float distance) {
  float visibility = exp(-FogDensity * distance);
  return lerp(FogColor, color, saturate(visibility));
}

float4 main(float4 color : COLOR0, float depth : TEXCOORD0) : SV_Target {
  return float4(applyFog(color.rgb, depth), color.a);
}
