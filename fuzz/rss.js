'use strict';
// Preloaded by the store fuzzer into each run: its peak memory at exit, in
// kB. VmHWM is this program's own; getrusage's maxrss keeps its parent's
// across exec.
process.on('exit', () => {
  const fs = require('node:fs');
  const hwm = /^VmHWM:\s*(\d+)/m.exec(fs.readFileSync('/proc/self/status', 'utf8'));
  fs.writeFileSync(process.env.TAVRIK_FUZZ_RSS, hwm ? hwm[1] : String(process.resourceUsage().maxRSS));
});
