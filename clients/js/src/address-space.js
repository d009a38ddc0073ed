// The address space of the service's address, as the browser's Local Network Access tells them:
// "loopback" for this computer, "local" for the shop's network (private ranges, link-local, .local
// names), null for anything else (a public address, or a name the page cannot place).
// A fetch to a host name is checked for mixed content before the name is resolved: it passes as
// targetAddressSpace, so that an https page may reach http://scale-pc.local:8370 as it may a literal address.

function ipv4(host) {
  const parts = host.split(".");
  if (parts.length !== 4 || !parts.every((part) => /^(0|[1-9][0-9]{0,2})$/.test(part) && Number(part) < 256)) return null;
  return parts.map(Number);
}

export function addressSpace(url) {
  const host = new URL(url).hostname.toLowerCase();
  if (host === "localhost" || host.endsWith(".localhost")) return "loopback";
  if (host.endsWith(".local")) return "local";
  const v4 = ipv4(host);
  if (v4) {
    const [a, b] = v4;
    if (a === 127) return "loopback";
    if (a === 10 || (a === 172 && b >= 16 && b < 32) || (a === 192 && b === 168) || (a === 169 && b === 254)) return "local";
    return null;
  }
  if (host.startsWith("[")) {
    const v6 = host.slice(1, -1);  // as the URL parser writes it: lowercase, shortest form
    if (v6 === "::1") return "loopback";
    if (/^f[cd][0-9a-f]{0,2}:/.test(v6) || /^fe[89ab][0-9a-f]?:/.test(v6)) return "local";
    const mapped = /^::ffff:([0-9a-f]{1,4}):([0-9a-f]{1,4})$/.exec(v6);
    if (mapped) {
      const high = parseInt(mapped[1], 16), low = parseInt(mapped[2], 16);
      return addressSpace(`http://${high >> 8}.${high & 255}.${low >> 8}.${low & 255}/`);
    }
  }
  return null;
}
