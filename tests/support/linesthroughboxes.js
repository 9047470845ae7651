// The moves whose line in the drawn graph runs through a screen box other
// than its own two ends, as "from>to over box". Each line is followed every
// few units of its length against the boxes, less a pixel and a half at
// their edges (a line that only touches a box does not count), in the
// drawing's own units. A browser finds a point along a line from its
// start, so each piece of a line is followed on a scratch copy of its own;
// boxes are found from a grid of cells, so a point costs a few boxes, not
// all. Shared by the page tests and the drawing benchmark.
function linesThroughBoxes() {
  var CELL = 200, STEP = 3, EDGE = 1.5, cells = new Map(), through = [];
  document.querySelectorAll('.graph svg g.node').forEach(function (node) {
    var box = node.getBBox(), at = node.transform.baseVal.consolidate();
    var dx = at ? at.matrix.e : 0, dy = at ? at.matrix.f : 0;
    var r = { id: node.getAttribute('data-id'), left: box.x + dx + EDGE, right: box.x + dx + box.width - EDGE,
              top: box.y + dy + EDGE, bottom: box.y + dy + box.height - EDGE };
    for (var cx = Math.floor(r.left / CELL); cx <= Math.floor(r.right / CELL); cx++)
      for (var cy = Math.floor(r.top / CELL); cy <= Math.floor(r.bottom / CELL); cy++) {
        var key = cx + ',' + cy;
        if (!cells.has(key)) cells.set(key, []);
        cells.get(key).push(r);
      }
  });
  var scratch = document.createElementNS('http://www.w3.org/2000/svg', 'path');
  document.querySelector('.graph svg').appendChild(scratch);
  // Absolute M, L, H, V and C pieces, which the page's own drawing writes;
  // a line written otherwise is followed whole.
  var pieces = function (d) {
    var list = [], tokens = d.match(/[A-Za-z]|-?[0-9.]+(?:e[-+]?[0-9]+)?/g), i = 0, command = '', x = 0, y = 0;
    var take = function () { return +tokens[i++]; };
    while (i < tokens.length) {
      if (/[A-Za-z]/.test(tokens[i])) command = tokens[i++];
      var from = 'M' + x + ',' + y;
      if (command === 'M') { x = take(); y = take(); command = 'L'; continue; }
      if (command === 'L') { x = take(); y = take(); list.push(from + 'L' + x + ',' + y); }
      else if (command === 'H') { x = take(); list.push(from + 'H' + x); }
      else if (command === 'V') { y = take(); list.push(from + 'V' + y); }
      else if (command === 'C') {
        var c = [take(), take(), take(), take(), take(), take()];
        x = c[4]; y = c[5];
        list.push(from + 'C' + c.join(' '));
      } else return [d];
    }
    return list;
  };
  document.querySelectorAll('.graph svg path.flowchart-link').forEach(function (path) {
    var ends = Array.from(path.classList).filter(function (c) { return /^L[SE]-/.test(c); }).map(function (c) { return c.slice(3); });
    var list = pieces(path.getAttribute('d'));
    for (var at = 0; at < list.length; at++) {
      scratch.setAttribute('d', list[at]);
      for (var along = 0, length = scratch.getTotalLength(); along <= length + STEP; along += STEP) {
        var p = scratch.getPointAtLength(Math.min(along, length));
        var hit = (cells.get(Math.floor(p.x / CELL) + ',' + Math.floor(p.y / CELL)) || []).find(function (r) {
          return ends.indexOf(r.id) < 0 && p.x > r.left && p.x < r.right && p.y > r.top && p.y < r.bottom;
        });
        if (hit) { through.push(ends.join('>') + ' over ' + hit.id); return; }
      }
    }
  });
  scratch.remove();
  return through;
}
