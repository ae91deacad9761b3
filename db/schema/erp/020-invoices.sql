-- The NF-e the company issued, as the ERP keeps them (its invoicing writes
-- them; the application server reads them, sets the state of an invoice it
-- cancels and clears its hold; the screen reads them through GetNotaFiscal).
--
-- One row per NF-e, with what the invoice list shows, the NF-e's state at the
-- tax authority and the counterparty it was issued to.
--
-- IDSITUACAONFE: 'A' authorised, 'C' cancelled, 'D' denied (a denied NF-e has a
-- protocol of its own but can never be cancelled).
-- IDTPDESTREM: the counterparty's kind: 'C' customer (CDCLIENTE), 'F' supplier
-- (CDFORNECED), 'L' another branch of the company receiving the goods
-- (CDFILIRECE); exactly the one column of its kind is filled.
-- NMRAZAO: the counterparty's corporate name as printed on the NF-e; later
-- changes to the customer's record do not rewrite issued invoices.
-- NRNOTAFISCALELE: the NF-e number, nine digits with leading zeros.
-- DTEMISSAO: the issue date; DHAUTORIZACAO the authority's receipt time with its
-- UTC offset, as the authority answered it ("2024-05-02T10:15:00-03:00").
-- CDOPERBLOQ / DHBLOQUEIO: the holder of an invoice being changed elsewhere
-- (the operator, and since when); GetNotaFiscal reports it as IDBLOQUEADO.
-- The cancellation sets no hold of its own: it checks each invoice in a short
-- transaction that locks the row (FOR UPDATE NOWAIT on PostgreSQL) and writes
-- the signed event to NFEEVENTO, sends it with no lock held, and cancels the
-- invoice in a second short transaction; a server killed at any point leaves
-- no hold behind, at most a pending event. It refuses an invoice held by
-- another operator and clears the hold of an invoice it cancels.
CREATE TABLE NOTAFISCAL (
    NRLANCTONF      VARCHAR(10)   NOT NULL,
    CDFILIAL        VARCHAR(4)    NOT NULL,
    CDFILIEMIT      VARCHAR(4)    NOT NULL,
    CDEMPRESA       VARCHAR(2)    NOT NULL,
    CDINSCESTA      VARCHAR(16)   NOT NULL,
    CDINSCMUNI      VARCHAR(16)   NOT NULL,
    CDSERIE         VARCHAR(5)    NOT NULL,
    NRNOTAFISCALELE VARCHAR(9)    NOT NULL,
    DTEMISSAO       DATE          NOT NULL,
    IDENTRSAIDOP    VARCHAR(1)    NOT NULL,
    NRLANCTBDOC     VARCHAR(12)   NOT NULL,
    VRNOTAFISC      NUMERIC(15,2) NOT NULL,
    IDTPDESTREM     VARCHAR(1)    NOT NULL,
    CDCLIENTE       VARCHAR(21),
    CDFORNECED      VARCHAR(21),
    CDFILIRECE      VARCHAR(4),
    NMRAZAO         VARCHAR(50)   NOT NULL,
    IDSITUACAONFE   VARCHAR(1)    NOT NULL,
    NRACESSONFE     VARCHAR(44)   NOT NULL,
    NRPROTOCOLONFE  VARCHAR(15)   NOT NULL,
    DHAUTORIZACAO   VARCHAR(25)   NOT NULL,
    CDOPERBLOQ      VARCHAR(30),
    DHBLOQUEIO      VARCHAR(25),
    CONSTRAINT NOTAFISCAL_PK PRIMARY KEY (NRLANCTONF),
    CONSTRAINT NOTAFISCAL_CHAVE UNIQUE (NRACESSONFE),
    CONSTRAINT NOTAFISCAL_FILIAL FOREIGN KEY (CDFILIAL) REFERENCES FILIAL (CDFILIAL),
    CONSTRAINT NOTAFISCAL_FILIEMIT FOREIGN KEY (CDFILIEMIT) REFERENCES FILIAL (CDFILIAL),
    CONSTRAINT NOTAFISCAL_SERIE FOREIGN KEY (CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE)
        REFERENCES SERIENF (CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE),
    CONSTRAINT NOTAFISCAL_CLIENTE FOREIGN KEY (CDCLIENTE) REFERENCES CLIENTE (CDCLIENTE),
    CONSTRAINT NOTAFISCAL_FORNECEDOR FOREIGN KEY (CDFORNECED) REFERENCES FORNECEDOR (CDFORNECED),
    CONSTRAINT NOTAFISCAL_FILIRECE FOREIGN KEY (CDFILIRECE) REFERENCES FILIAL (CDFILIAL),
    CONSTRAINT NOTAFISCAL_SITUACAO CHECK (IDSITUACAONFE IN ('A', 'C', 'D')),
    CONSTRAINT NOTAFISCAL_ENTRSAI CHECK (IDENTRSAIDOP IN ('E', 'S')),
    CONSTRAINT NOTAFISCAL_DESTREM CHECK (
        (IDTPDESTREM = 'C' AND CDCLIENTE IS NOT NULL AND CDFORNECED IS NULL AND CDFILIRECE IS NULL) OR
        (IDTPDESTREM = 'F' AND CDFORNECED IS NOT NULL AND CDCLIENTE IS NULL AND CDFILIRECE IS NULL) OR
        (IDTPDESTREM = 'L' AND CDFILIRECE IS NOT NULL AND CDCLIENTE IS NULL AND CDFORNECED IS NULL)),
    CONSTRAINT NOTAFISCAL_NUMERO CHECK (LENGTH(NRNOTAFISCALELE) = 9),
    CONSTRAINT NOTAFISCAL_LANCTO CHECK (LENGTH(NRLANCTONF) = 10),
    CONSTRAINT NOTAFISCAL_ACESSO CHECK (LENGTH(NRACESSONFE) = 44),
    CONSTRAINT NOTAFISCAL_PROTOCOLO CHECK (LENGTH(NRPROTOCOLONFE) = 15),
    CONSTRAINT NOTAFISCAL_BLOQUEIO CHECK ((CDOPERBLOQ IS NULL AND DHBLOQUEIO IS NULL) OR
                                          (CDOPERBLOQ IS NOT NULL AND DHBLOQUEIO IS NOT NULL))
);

-- GetNotaFiscal: one establishment (branch, company, registrations, series),
-- one state, a range of issue dates.
CREATE INDEX NOTAFISCAL_ESTAB ON NOTAFISCAL
    (CDFILIAL, CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, IDSITUACAONFE, DTEMISSAO);

-- A customer's or supplier's invoices are few among an establishment's: the
-- counterparty filters can start from these; they also keep the foreign-key
-- checks cheap when a customer or supplier is deleted.
CREATE INDEX NOTAFISCAL_CLIENTE_IX ON NOTAFISCAL (CDCLIENTE);
CREATE INDEX NOTAFISCAL_FORNECEDOR_IX ON NOTAFISCAL (CDFORNECED);
