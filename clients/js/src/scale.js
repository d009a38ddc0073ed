// A scale's JSON as the service sends it, checked before it is believed.

const kKinds = new Set(["weight", "status", "no-reading", "failure"]);

export function isObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

// A scale's JSON as the service sends it, checked: the name, the change count, and a reading that is
// null or has a known kind, whose weight is a finite number for a weight and nothing else.
export function checkedScale(value) {
  if (!isObject(value) || typeof value.name !== "string" || typeof value.state !== "string") return null;
  if (!Number.isSafeInteger(value.change) || value.change < 0) return null;
  const reading = value.reading;
  if (reading === null) return value;
  if (!isObject(reading) || !kKinds.has(reading.kind)) return null;
  if (reading.kind === "weight" ? !Number.isFinite(reading.weight) : reading.weight != null) return null;
  return value;
}

// The weight of a scale's JSON in kilograms: a number only for a reading of kind "weight".
export function weightOf(scale) {
  const reading = scale && scale.reading;
  return reading && reading.kind === "weight" && Number.isFinite(reading.weight) ? reading.weight : null;
}
