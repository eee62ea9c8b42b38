// mekal-report's page: draws one run, or many runs with their plots, from the
// JSON that mekal-report embedded in the page. Recorded texts go into the page
// as text (textContent) only, and the charts draw theirs on a canvas, so no
// recorded value is ever read as HTML.
'use strict';
(function () {
  performance.mark('mekal-script');
  const data = JSON.parse(document.getElementById('mekal-data').textContent);
  const head = document.getElementById('head');
  const main = document.getElementById('main');
  const kRowsShown = 1000;  // more rows than this make the table slow to lay out

  // An element with text or children; never parses HTML.
  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === 'object' ? child : String(child));
    }
    return node;
  }

  function facts(pairs) {
    const list = el('dl', {class: 'facts'});
    for (const [term, value] of pairs) if (value !== null) list.append(el('dt', {}, term), el('dd', {}, value));
    return list;
  }

  function seconds(value) {
    return typeof value === 'number' ? value.toFixed(3) + ' s' : null;
  }

  // The inputs mekal-report named on stderr and left out, shown on the page too.
  function showSkipped(skipped) {
    if (!skipped || skipped.length === 0) return;
    head.append(el('p', {class: 'note bad'}, skipped.length + ' input(s) skipped: ' +
                    skipped.map((s) => s.source + ': ' + s.reason).join('; ')));
  }

  // ---- one run ----

  // A recorded value as the page shows it: containers as lists, a valid
  // jsonstring pretty-printed, texts and numbers as they are.
  function valueNode(value, type) {
    if (value === null) return el('span', {class: 'none'}, 'null');
    if (type === '%j' && typeof value !== 'string') return el('pre', {}, JSON.stringify(value, null, 2));
    if (Array.isArray(value)) {
      const list = el('ul', {class: 'list'});
      for (const item of value) list.append(el('li', {}, valueNode(item, null)));
      return value.length ? list : el('span', {class: 'none'}, 'empty');
    }
    if (typeof value === 'object') return el('pre', {}, JSON.stringify(value, null, 2));
    return document.createTextNode(String(value));
  }

  // A value that differs between the ranks of an MPI job: one line per rank.
  function ranksNode(entry) {
    const table = el('table', {class: 'ranks'});
    for (const rank of entry.ranks) {
      const type = rank.long_type === entry.long_type ? null : rank.long_type;
      table.append(el('tr', {}, el('th', {}, 'rank ' + rank.rank), el('td', {}, valueNode(rank.value, rank.type)),
                      el('td', {class: 'type'}, type)));
    }
    return table;
  }

  function showRun(run, values) {
    const program = run.executable.split('/').pop() || run.executable;
    document.title = program + ' on ' + run.host + ' - mekal report';
    head.append(el('h1', {}, program), facts([
      ['executable', run.executable], ['command line', run.argv.join(' ')], ['host', run.host],
      ['process id', run.pid], ['start', run.start], ['duration', seconds(run.duration)],
      ['exit status', run.exit_status === null ? 'none' : run.exit_status],
      ['complete', run.complete ? 'yes' : 'no (the program did not exit normally, or still runs)'],
      ['MPI job', run.mpi_size === null ? null : run.mpi_size + ' ranks'], ['record', run.source]]));

    const search = el('input', {type: 'search', placeholder: 'Filter values by name', 'aria-label': 'Filter values by name'});
    main.append(el('h2', {}, values.length + ' values'), search);
    // category, then subcategory, in the order they first appear
    const groups = new Map();
    for (const entry of values) {
      const category = entry.category_name || 'category ' + entry.category;
      if (!groups.has(category)) groups.set(category, new Map());
      const subcategories = groups.get(category);
      const sub = entry.subcategory === null ? '(no subcategory)' : entry.subcategory;
      if (!subcategories.has(sub)) subcategories.set(sub, []);
      subcategories.get(sub).push(entry);
    }
    const sections = [];
    for (const [category, subcategories] of groups) {
      const section = el('section', {}, el('h2', {}, category));
      for (const [sub, entries] of subcategories) {
        const table = el('table', {class: 'values'});
        const rows = entries.map((entry) => {
          const row = el('tr', {}, el('td', {}, entry.name), el('td', {class: 'type'}, entry.long_type),
                         el('td', {class: 'value'}, entry.ranks ? ranksNode(entry) : valueNode(entry.value, entry.type)));
          row.dataset.name = entry.name.toLowerCase();
          table.append(row);
          return row;
        });
        const part = el('div', {}, el('h3', {}, sub), table);
        section.append(part);
        sections.push({section, part, rows});
      }
      main.append(section);
    }
    search.addEventListener('input', () => {
      const wanted = search.value.trim().toLowerCase();
      for (const {part, rows} of sections) {
        let shown = 0;
        for (const row of rows) {
          row.hidden = !row.dataset.name.includes(wanted);
          if (!row.hidden) ++shown;
        }
        part.hidden = shown === 0;
      }
      for (const section of main.querySelectorAll('section'))
        section.hidden = !section.querySelector('div:not([hidden])');
    });
  }

  // ---- many runs ----

  function cellText(value) {
    if (value === null || value === undefined) return '';
    return typeof value === 'object' ? JSON.stringify(value) : String(value);
  }

  // Numbers before texts, empty cells last, whatever the direction.
  function compareCells(a, b) {
    const emptyA = a === null || a === undefined, emptyB = b === null || b === undefined;
    if (emptyA || emptyB) return emptyA === emptyB ? 0 : emptyA ? 1 : -1;
    if (typeof a === 'number' && typeof b === 'number') return a - b;
    if (typeof a === 'number' || typeof b === 'number') return typeof a === 'number' ? -1 : 1;
    return cellText(a).localeCompare(cellText(b));
  }

  function showRunsTable(place, columns, rows) {
    const filter = el('input', {type: 'search', placeholder: 'Filter runs', 'aria-label': 'Filter runs'});
    const note = el('p', {class: 'note'});
    const headRow = el('tr', {});
    const body = el('tbody', {});
    place.append(el('h2', {}, 'Runs'), filter, note, el('table', {class: 'runs'}, el('thead', {}, headRow), body));
    let texts = null;  // made at the first filtering
    let order = rows.map((_, i) => i);
    let sorted = {column: -1, direction: 1};

    function draw() {
      const wanted = filter.value.trim().toLowerCase();
      if (wanted && texts === null) texts = rows.map((row) => row.map(cellText).join('\u0000').toLowerCase());
      const chosen = wanted ? order.filter((i) => texts[i].includes(wanted)) : order;
      const fragment = document.createDocumentFragment();
      for (const i of chosen.slice(0, kRowsShown)) {
        const tr = el('tr', {});
        for (const value of rows[i]) tr.append(el('td', typeof value === 'number' ? {class: 'num'} : {}, cellText(value)));
        fragment.append(tr);
      }
      body.replaceChildren(fragment);
      note.textContent = chosen.length > kRowsShown ? 'The first ' + kRowsShown + ' of ' + chosen.length +
        ' matching runs; filter to see others.' : chosen.length + ' of ' + rows.length + ' runs.';
    }
    columns.forEach((name, column) => {
      const th = el('th', {scope: 'col'}, name);
      th.addEventListener('click', () => {
        sorted = {column, direction: sorted.column === column ? -sorted.direction : 1};
        order = rows.map((_, i) => i).sort((a, b) => sorted.direction * compareCells(rows[a][column], rows[b][column]) || a - b);
        for (const other of headRow.children) other.removeAttribute('aria-sort');
        th.setAttribute('aria-sort', sorted.direction > 0 ? 'ascending' : 'descending');
        draw();
      });
      headRow.append(th);
    });
    filter.addEventListener('input', draw);
    draw();
  }

  // The comparison of each group with the baseline group, as mekal-db compare gives it.
  function showCompare(place, compare) {
    const names = ['metric', compare.by, 'n', 'median', 'mean', 'stddev', 'min', 'max', 'ratio', 'p', 'verdict'];
    const keys = ['metric', 'group', 'n', 'median', 'mean', 'stddev', 'min', 'max', 'ratio', 'p', 'verdict'];
    const table = el('table', {class: 'compare'}, el('thead', {}, el('tr', {}, ...names.map((n) => el('th', {scope: 'col'}, n)))));
    for (const row of compare.rows) {
      const tr = el('tr', {class: row.verdict});
      for (const key of keys) {
        const value = row[key];
        const text = typeof value === 'number' && !Number.isInteger(value) ? value.toPrecision(4) : cellText(value);
        tr.append(el('td', {class: key === 'verdict' ? 'verdict' : typeof value === 'number' ? 'num' : ''}, text));
      }
      table.append(tr);
    }
    place.append(el('h2', {}, 'Compared with ' + compare.by + ' = ' + compare.baseline), table,
                el('p', {class: 'note'}, compare.method));
  }

  // Per metric: the metric over the runs' start times, one colour per group,
  // and its distribution per group as a box over the runs' points.
  function showPlots(place, columns, rows, metrics, by, onDrawn) {
    const startColumn = columns.indexOf('start');
    const byColumn = by === null ? -1 : columns.indexOf(by);
    const groupOf = (row) => byColumn < 0 ? 'all runs' : cellText(row[byColumn]) || '(none)';
    const groups = [...new Set(rows.map(groupOf))].sort((a, b) => a.localeCompare(b, undefined, {numeric: true}));
    const charts = [];
    for (const metric of metrics) {
      const column = columns.indexOf(metric);
      // Per group: start time, value, start time, value, ... as the charts
      // take many points fastest.
      const points = new Map(groups.map((g) => [g, []]));
      for (const row of rows) {
        const value = row[column], when = Date.parse(row[startColumn]);
        if (typeof value === 'number' && !Number.isNaN(when)) points.get(groupOf(row)).push(when, value);
      }
      const overTime = el('div', {class: 'chart', role: 'img', 'aria-label': metric + ' over the start times'});
      const perGroup = el('div', {class: 'chart', role: 'img', 'aria-label': metric + ' per ' + (by || 'run')});
      place.append(el('h2', {}, metric), el('div', {class: 'charts'}, overTime, perGroup));
      const common = {animation: false, tooltip: {renderMode: 'richText'}, grid: {left: 64, right: 24, top: 40, bottom: 40}};
      charts.push([overTime, Object.assign({}, common, {
        legend: {type: 'scroll', top: 6},
        xAxis: {type: 'time'}, yAxis: {type: 'value', name: metric, scale: true},
        dataZoom: [{type: 'inside'}],
        series: groups.map((g) => ({type: 'scatter', name: g, data: Float64Array.from(points.get(g)), dimensions: ['start', metric],
                                    symbolSize: 5, large: true, largeThreshold: 2000, progressive: 0})),
      })]);
      charts.push([perGroup, Object.assign({}, common, {
        dataset: [{source: groups.map((g) => points.get(g).filter((_, i) => i % 2 === 1))},
                  {fromDatasetIndex: 0, transform: {type: 'boxplot', config: {itemNameFormatter: (p) => groups[p.value]}}},
                  {fromDatasetIndex: 1, fromTransformResult: 1}],
        xAxis: {type: 'category'},
        yAxis: {type: 'value', name: metric, scale: true},
        series: [{type: 'boxplot', datasetIndex: 1, name: 'distribution', colorBy: 'data', itemStyle: {color: 'transparent', borderWidth: 1.5}},
                 {type: 'scatter', datasetIndex: 2, name: 'outlier', symbolSize: 5}],
      })]);
    }
    let pending = charts.length;
    if (pending === 0) return onDrawn(0);
    for (const [node, option] of charts) {
      const chart = echarts.init(node, null, {renderer: 'canvas'});
      chart.on('finished', function once() {
        chart.off('finished', once);
        if (--pending === 0) onDrawn(charts.length);
      });
      chart.setOption(option);
      window.addEventListener('resize', () => chart.resize());
    }
  }

  function showRuns() {
    const {columns, rows, metrics, by} = data;
    document.title = rows.length + ' runs - mekal report';
    head.append(el('h1', {}, rows.length + ' runs'), facts([
      ['grouped by', by], ['metrics', metrics.length ? metrics.join(', ') : null],
      ['conditions', data.conditions && data.conditions.length ? data.conditions.join(' and ') : null]]));
    const plots = el('div', {}), compared = el('div', {}), table = el('div', {});
    main.append(plots, compared, table);
    if (data.compare) showCompare(compared, data.compare);
    // The table lays out after the plots are drawn: they come first on the page.
    showPlots(plots, columns, rows, metrics, by, (count) => {
      drawn(count);
      setTimeout(() => {
        showRunsTable(table, columns, rows);
        performance.mark('mekal-table');
        document.body.dataset.table = String(rows.length);
      });
    });
  }

  // A mark for whoever watches the page (the tests, the benchmark): how many
  // charts were drawn, and when, in milliseconds since navigation.
  function drawn(count) {
    performance.mark('mekal-drawn');
    document.body.dataset.charts = String(count);
    document.body.dataset.drawnMs = performance.now().toFixed(1);
  }

  if (data.view === 'run') {
    showRun(data.run, data.values);
    drawn(0);
  } else {
    showRuns();
  }
  showSkipped(data.skipped);
})();
